// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <optional>
#include <string>

struct ServerEndpoint {
	// A name, an IPv4 address, or an IPv6 address in brackets in its shortest form ("[::1]"):
	// what the HTTP layers connect to and name in the Host header.
	std::string host;
	int32_t port = 80;
	// The request target: path and query. A fragment is never part of it.
	std::string path = "/";
	bool secure = false;
	// "user:password@" before the host, percent-decoded; "user@" alone is an empty password.
	std::string user;
	std::string password;
	bool has_credentials = false;
};

// Logs exactly one line in every case, except that a URL that parses is announced as the
// upload's target ("Uploading to Host: ...") only when `announce` is set; no line holds user
// info or a query value.
std::optional<ServerEndpoint> parse_server_url(const std::string &server_url, bool announce = true);

// What may be logged of a URL: user info dropped, the fragment dropped, and in the query every
// value replaced by "***" ("?token=***&x=***"); an item without '=' may be a secret of its own
// and becomes "***" whole. Scheme, host, port and path stay as given.
std::string mask_url_for_log(const std::string &url);
// The same for a request target ("/upload?token=***").
std::string mask_target_for_log(const std::string &target);
