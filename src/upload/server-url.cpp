// SPDX-License-Identifier: GPL-3.0-or-later
#include "upload/server-url.hpp"

#include <obs.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
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

int hex_value(char c)
{
	if (c >= '0' && c <= '9')
		return c - '0';
	if (c >= 'a' && c <= 'f')
		return c - 'a' + 10;
	if (c >= 'A' && c <= 'F')
		return c - 'A' + 10;
	return -1;
}

bool is_alpha(char c)
{
	return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
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

// Malformed escapes stay as they are, as curl leaves them.
std::string percent_decoded(const std::string &text)
{
	std::string out;
	out.reserve(text.size());
	for (size_t i = 0; i < text.size(); ++i) {
		if (text[i] == '%' && i + 2 < text.size() && hex_value(text[i + 1]) >= 0 &&
		    hex_value(text[i + 2]) >= 0) {
			out.push_back(static_cast<char>(hex_value(text[i + 1]) * 16 + hex_value(text[i + 2])));
			i += 2;
		} else {
			out.push_back(text[i]);
		}
	}
	return out;
}

bool read_ipv4(const std::string &text, uint8_t (&bytes)[4])
{
	size_t i = 0;
	for (int part = 0; part < 4; ++part) {
		if (part > 0) {
			if (i >= text.size() || text[i] != '.')
				return false;
			++i;
		}
		const size_t begin = i;
		int value = 0;
		while (i < text.size() && text[i] >= '0' && text[i] <= '9' && i - begin < 3)
			value = value * 10 + (text[i++] - '0');
		// Leading zeros read as octal elsewhere: refused, as inet_pton does.
		if (i == begin || value > 255 || (text[begin] == '0' && i - begin > 1))
			return false;
		bytes[part] = static_cast<uint8_t>(value);
	}
	return i == text.size();
}

// An IPv6 address in text (no zone) to its 16-bit groups.
bool read_ipv6(const std::string &text, std::array<uint16_t, 8> &groups)
{
	std::array<uint16_t, 8> head{}, tail{};
	size_t heads = 0, tails = 0;
	bool compressed = false;
	size_t i = 0;
	if (starts_with(text, "::", 2)) {
		compressed = true;
		i = 2;
	}
	while (i < text.size()) {
		size_t end = text.find(':', i);
		if (end == std::string::npos)
			end = text.size();
		const std::string piece = text.substr(i, end - i);
		auto &into = compressed ? tail : head;
		size_t &count = compressed ? tails : heads;
		if (piece.find('.') != std::string::npos) {
			uint8_t bytes[4];
			if (end != text.size() || heads + tails > 6 || !read_ipv4(piece, bytes))
				return false;
			into[count++] = uint16_t(bytes[0] << 8 | bytes[1]);
			into[count++] = uint16_t(bytes[2] << 8 | bytes[3]);
			break;
		}
		if (piece.empty() || piece.size() > 4 || heads + tails >= 8)
			return false;
		uint16_t value = 0;
		for (char c : piece) {
			const int digit = hex_value(c);
			if (digit < 0)
				return false;
			value = uint16_t(value << 4 | digit);
		}
		into[count++] = value;
		if (end == text.size())
			break;
		if (end + 1 < text.size() && text[end + 1] == ':') {
			if (compressed)
				return false;
			compressed = true;
			i = end + 2;
		} else {
			i = end + 1;
			if (i == text.size())
				return false; // a single trailing ':'
		}
	}
	if (text.empty() || (compressed ? heads + tails > 7 : heads != 8))
		return false;
	groups.fill(0);
	for (size_t k = 0; k < heads; ++k)
		groups[k] = head[k];
	for (size_t k = 0; k < tails; ++k)
		groups[8 - tails + k] = tail[k];
	return true;
}

// The form curl writes in its Host header (glibc's inet_ntop: the longest run of zeros, the
// first of equals, cut; IPv4 forms for "::a.b.c.d" and "::ffff:a.b.c.d"), so that both HTTP
// layers send the same bytes.
std::string ipv6_text(const std::array<uint16_t, 8> &groups)
{
	int best = -1, best_length = 0;
	for (int k = 0; k < 8;) {
		int length = 0;
		while (k + length < 8 && groups[size_t(k + length)] == 0)
			++length;
		if (length > best_length) {
			best = k;
			best_length = length;
		}
		k += length > 0 ? length : 1;
	}
	if (best_length < 2)
		best = -1;
	std::string out;
	char piece[16];
	for (int k = 0; k < 8; ++k) {
		if (best >= 0 && k >= best && k < best + best_length) {
			if (k == best)
				out += ':';
			continue;
		}
		if (k != 0)
			out += ':';
		if (k == 6 && best == 0 && (best_length == 6 || (best_length == 5 && groups[5] == 0xffff))) {
			std::snprintf(piece, sizeof(piece), "%u.%u.%u.%u", unsigned(groups[6] >> 8),
				      unsigned(groups[6] & 0xff), unsigned(groups[7] >> 8), unsigned(groups[7] & 0xff));
			out += piece;
			break;
		}
		std::snprintf(piece, sizeof(piece), "%x", unsigned(groups[size_t(k)]));
		out += piece;
	}
	if (best >= 0 && best + best_length == 8)
		out += ':';
	return out;
}

// A URL cut where every reader of it cuts: after the scheme, the authority runs to the first
// '/', '?' or '#', and its user info to the last '@' in it.
struct UrlParts {
	std::string scheme; // as written, with "://"; empty when none was recognised
	bool has_user_info = false;
	std::string user_info;
	std::string host_port;
	std::string rest; // from the first '/', '?' or '#' on
};

UrlParts split_url(const std::string &url, size_t start)
{
	UrlParts parts;
	parts.scheme = url.substr(0, start);
	size_t end = url.find_first_of("/?#", start);
	if (end == std::string::npos)
		end = url.size();
	std::string authority = url.substr(start, end - start);
	parts.rest = url.substr(end);
	const size_t at = authority.rfind('@');
	if (at != std::string::npos) {
		parts.has_user_info = true;
		parts.user_info = authority.substr(0, at);
		authority.erase(0, at + 1);
	}
	parts.host_port = std::move(authority);
	return parts;
}

std::string masked_query(const std::string &query)
{
	std::string out;
	size_t i = 0;
	for (;;) {
		size_t end = query.find('&', i);
		if (end == std::string::npos)
			end = query.size();
		const std::string item = query.substr(i, end - i);
		const size_t equals = item.find('=');
		if (equals != std::string::npos)
			out += item.substr(0, equals + 1) + "***";
		else if (!item.empty())
			out += "***";
		if (end == query.size())
			return out;
		out += '&';
		i = end + 1;
	}
}

} // namespace

std::string mask_target_for_log(const std::string &target)
{
	std::string kept = target.substr(0, target.find('#'));
	const size_t question = kept.find('?');
	std::string path = kept.substr(0, question);
	// "//name@host/..." reads as an authority to some: its user info goes too.
	if (starts_with(path, "//", 2)) {
		const size_t end = std::min(path.find('/', 2), path.size());
		const size_t at = path.rfind('@', end - 1);
		if (at != std::string::npos && at >= 2)
			path.erase(2, at - 1);
	}
	if (question == std::string::npos)
		return path;
	return path + '?' + masked_query(kept.substr(question + 1));
}

std::string mask_url_for_log(const std::string &url)
{
	// Any scheme counts here, also those the parser does not take: what is masked must never
	// depend on the URL being one that works.
	size_t start = 0;
	const size_t colon = url.find("://");
	if (colon != std::string::npos && colon > 0 && is_alpha(url[0])) {
		start = colon + 3;
		for (size_t i = 1; i < colon; ++i)
			if (!is_alpha(url[i]) && !(url[i] >= '0' && url[i] <= '9') && url[i] != '+' && url[i] != '-' &&
			    url[i] != '.')
				start = 0;
	}
	const UrlParts parts = split_url(url, start);
	return parts.scheme + parts.host_port + mask_target_for_log(parts.rest);
}

std::optional<ServerEndpoint> parse_server_url(const std::string &server_url, bool announce)
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
	const UrlParts parts = split_url(server_url, start);

	if (parts.has_user_info) {
		endpoint.has_credentials = true;
		const size_t colon = parts.user_info.find(':');
		endpoint.user = percent_decoded(parts.user_info.substr(0, colon));
		if (colon != std::string::npos)
			endpoint.password = percent_decoded(parts.user_info.substr(colon + 1));
	}

	// The fragment stays with the client; a query right after the host asks for "/".
	const std::string target = parts.rest.substr(0, parts.rest.find('#'));
	endpoint.path = target.empty() || target[0] != '/' ? "/" + target : target;

	// Only the host and port are ever quoted: user info and query stay out of every line.
	const std::string &host_port = parts.host_port;
	size_t colon = std::string::npos;
	if (!host_port.empty() && host_port[0] == '[') {
		const size_t close = host_port.find(']');
		std::array<uint16_t, 8> groups;
		// A zone ('%') names an interface of this machine only: no server is meant by it.
		if (close == std::string::npos || !read_ipv6(host_port.substr(1, close - 1), groups) ||
		    (close + 1 < host_port.size() && host_port[close + 1] != ':')) {
			blog(LOG_ERROR, "[Brisvane] Invalid host in URL: %s", host_port.c_str());
			return std::nullopt;
		}
		endpoint.host = "[" + ipv6_text(groups) + "]";
		if (close + 1 < host_port.size())
			colon = close + 1;
	} else {
		colon = host_port.find(':');
		endpoint.host = host_port.substr(0, colon);
	}
	if (colon != std::string::npos) {
		const std::optional<int32_t> port = read_port(host_port.substr(colon + 1));
		// A port past the 16 bits of TCP would be cut to another one: that is no server meant.
		if (!port || *port < 1 || *port > 65535) {
			blog(LOG_ERROR, "[Brisvane] Invalid port in URL: %s", host_port.c_str());
			return std::nullopt;
		}
		endpoint.port = *port;
	}

	if (announce)
		blog(LOG_INFO, "[Brisvane] Uploading to Host: %s, Port: %d, Path: %s", endpoint.host.c_str(),
		     endpoint.port, mask_target_for_log(endpoint.path).c_str());
	return endpoint;
}
