// SPDX-License-Identifier: GPL-3.0-or-later
#include "upload/server-url.hpp"

#include <obs.h>

#include <cstdint>
#include <limits>

namespace {

bool starts_with(const std::string &text, const char *prefix, size_t length)
{
	return text.compare(0, length, prefix) == 0;
}

bool is_blank(char c)
{
	return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Reads the port the way std::stoi does (blanks, one sign, digits, anything after ignored)
// without its exceptions and independent of the width of long.
std::optional<int32_t> read_port(const std::string &text)
{
	size_t i = 0;
	while (i < text.size() && is_blank(text[i]))
		++i;
	bool negative = false;
	if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
		negative = text[i] == '-';
		++i;
	}
	const int64_t limit =
	    negative ? -int64_t(std::numeric_limits<int32_t>::min()) : int64_t(std::numeric_limits<int32_t>::max());
	int64_t value = 0;
	size_t digits = 0;
	for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i, ++digits) {
		value = value * 10 + (text[i] - '0');
		if (value > limit)
			return std::nullopt;
	}
	if (digits == 0)
		return std::nullopt;
	return static_cast<int32_t>(negative ? -value : value);
}

} // namespace

std::optional<ServerEndpoint> parse_server_url(const std::string &server_url)
{
	if (server_url.empty()) {
		blog(LOG_WARNING, "[Brisvane] No URL configured.");
		return std::nullopt;
	}

	ServerEndpoint endpoint;
	size_t start = 0;
	if (starts_with(server_url, "https://", 8)) {
		endpoint.port = 443;
		endpoint.secure = true;
		start = 8;
	} else if (starts_with(server_url, "http://", 7)) {
		start = 7;
	}

	const size_t slash = server_url.find('/', start);
	std::string host_port;
	if (slash == std::string::npos) {
		host_port = server_url.substr(start);
		endpoint.path = "/";
	} else {
		host_port = server_url.substr(start, slash - start);
		endpoint.path = server_url.substr(slash);
	}

	const size_t colon = host_port.find(':');
	if (colon == std::string::npos) {
		endpoint.host = host_port;
	} else {
		const std::optional<int32_t> port = read_port(host_port.substr(colon + 1));
		// A port past the 16 bits of TCP would be cut to another one: that is no server meant.
		if (!port || *port < 1 || *port > 65535) {
			blog(LOG_ERROR, "[Brisvane] Invalid port in URL: %s", host_port.c_str());
			return std::nullopt;
		}
		endpoint.host = host_port.substr(0, colon);
		endpoint.port = *port;
	}

	blog(LOG_INFO, "[Brisvane] Uploading to Host: %s, Port: %d, Path: %s", endpoint.host.c_str(), endpoint.port,
	     endpoint.path.c_str());
	return endpoint;
}
