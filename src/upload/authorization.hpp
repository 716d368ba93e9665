// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "upload/server-url.hpp"

#include <string>

// Standard alphabet, padded with '='.
std::string base64(const std::string &bytes);

struct AuthorizationHeader {
	bool ok = true;
	std::string value;   // the Authorization header's value; empty: no header
	std::string refusal; // when !ok: the line to log, which never quotes the token
};

// "Bearer <token>" when the access token (blanks around it trimmed) is not empty, whatever the
// URL holds; else "Basic base64(user:password)" when the URL had user info; else no header. A
// token must be one line of printable ASCII: anything else could not go out the same on every
// HTTP layer, and a line break would forge headers.
AuthorizationHeader authorization_header_value(const ServerEndpoint &endpoint, const std::string &access_token);
