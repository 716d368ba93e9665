// SPDX-License-Identifier: GPL-3.0-or-later
// What every HTTP layer shares.
#include "platform/http.hpp"

#include <cstring>

namespace platform {

namespace {

// RFC 9110's token characters, spelled out: isalnum would follow the locale.
bool is_token_char(char c)
{
	return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
	       (c != '\0' && std::strchr("!#$%&'*+-.^_`|~", c) != nullptr);
}

} // namespace

HttpTimeouts &http_timeouts()
{
	static HttpTimeouts timeouts;
	return timeouts;
}

bool forges_headers(const HttpPost &request)
{
	if (request.method.empty())
		return true;
	for (char c : request.method)
		if (!is_token_char(c))
			return true;
	for (const std::string *text :
	     {&request.path, &request.header_text, &request.authorization, &request.user_agent})
		if (text->find_first_of("\r\n") != std::string::npos)
			return true;
	return false;
}

std::string clean_reason_phrase(const std::string &raw)
{
	std::string out;
	for (char c : raw)
		if (c >= 0x20 && c <= 0x7e && !(c == ' ' && out.empty()))
			out.push_back(c);
	out.erase(out.find_last_not_of(' ') + 1);
	if (out.size() > 128)
		out.erase(128);
	return out;
}

} // namespace platform
