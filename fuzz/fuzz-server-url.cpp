// SPDX-License-Identifier: GPL-3.0-or-later
// parse_server_url against a plain reading of the accepted URL form, log line included; the
// IPv6 literals against glibc's own reading and writing of them.
#include "fuzz-support.hpp"

#include "upload/server-url.hpp"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <optional>

namespace {

struct Expected {
	bool ok = false;
	ServerEndpoint endpoint;
	std::string line;
};

// What std::stoi accepts, through strtoll on a terminated copy.
std::optional<int32_t> reference_port(const std::string &text)
{
	const std::string copy(text.c_str()); // a NUL ends the number like any other non-digit
	const char *begin = copy.c_str();
	char *end = nullptr;
	errno = 0;
	const long long value = std::strtoll(begin, &end, 10);
	if (end == begin || errno == ERANGE || value < INT32_MIN || value > INT32_MAX)
		return std::nullopt;
	return static_cast<int32_t>(value);
}

std::string reference_decode(const std::string &text)
{
	std::string out;
	for (size_t i = 0; i < text.size(); ++i) {
		if (text[i] == '%' && i + 2 < text.size() && std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
		    std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
			out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
			i += 2;
		} else {
			out += text[i];
		}
	}
	return out;
}

// The query's values, character by character: after an item's first '=' everything up to the
// next '&' is hidden; an item without '=' is hidden whole.
std::string reference_mask(const std::string &target)
{
	std::string out;
	bool in_query = false, item_has_value = false;
	std::string item;
	auto finish_item = [&] {
		out += !item_has_value && !item.empty() ? "***" : item;
		item.clear();
		item_has_value = false;
	};
	for (char c : target) {
		if (c == '#')
			break;
		if (!in_query) {
			out += c;
			in_query = c == '?';
		} else if (c == '&') {
			finish_item();
			out += '&';
		} else if (!item_has_value) {
			item += c;
			if (c == '=') {
				item += "***";
				item_has_value = true;
			}
		}
	}
	if (in_query)
		finish_item();
	// A target that starts like an authority loses what would be its user info.
	if (out.rfind("//", 0) == 0) {
		const size_t end = out.find_first_of("/?", 2);
		const size_t at = out.substr(0, end).rfind('@');
		if (at != std::string::npos)
			out = "//" + out.substr(at + 1);
	}
	return out;
}

Expected reference(const std::string &url)
{
	Expected e;
	if (url.empty()) {
		e.line = "[Brisvane] No URL configured.";
		return e;
	}
	std::string rest = url;
	if (rest.rfind("https://", 0) == 0) {
		e.endpoint.port = 443;
		e.endpoint.secure = true;
		rest.erase(0, 8);
	} else if (rest.rfind("http://", 0) == 0) {
		rest.erase(0, 7);
	}
	const size_t authority_end = std::min(rest.find_first_of("/?#"), rest.size());
	std::string host_port = rest.substr(0, authority_end);
	std::string target = rest.substr(authority_end);
	target = target.substr(0, target.find('#'));
	e.endpoint.path = target.rfind('/', 0) == 0 ? target : "/" + target;
	if (const size_t at = host_port.rfind('@'); at != std::string::npos) {
		const std::string user_info = host_port.substr(0, at);
		host_port.erase(0, at + 1);
		e.endpoint.has_credentials = true;
		const size_t colon = user_info.find(':');
		e.endpoint.user = reference_decode(user_info.substr(0, colon));
		if (colon != std::string::npos)
			e.endpoint.password = reference_decode(user_info.substr(colon + 1));
	}
	e.endpoint.host = host_port;
	std::string port_text;
	bool has_port = false;
	if (host_port.rfind('[', 0) == 0) {
		const size_t close = host_port.find(']');
		const std::string literal = close == std::string::npos ? "" : host_port.substr(1, close - 1);
		unsigned char address[16];
		char text[INET6_ADDRSTRLEN];
		const bool parsed = close != std::string::npos && literal.find('\0') == std::string::npos &&
				    inet_pton(AF_INET6, literal.c_str(), address) == 1 &&
				    (close + 1 == host_port.size() || host_port[close + 1] == ':');
		if (!parsed) {
			e.line = "[Brisvane] Invalid host in URL: " + std::string(host_port.c_str());
			return e;
		}
		e.endpoint.host = "[" + std::string(inet_ntop(AF_INET6, address, text, sizeof(text))) + "]";
		has_port = close + 1 < host_port.size();
		if (has_port)
			port_text = host_port.substr(close + 2);
	} else if (const size_t colon = host_port.find(':'); colon != std::string::npos) {
		e.endpoint.host = host_port.substr(0, colon);
		has_port = true;
		port_text = host_port.substr(colon + 1);
	}
	if (has_port) {
		const auto port = reference_port(port_text);
		if (!port || *port < 1 || *port > 65535) {
			e.line = "[Brisvane] Invalid port in URL: " + std::string(host_port.c_str());
			return e;
		}
		e.endpoint.port = *port;
	}
	e.ok = true;
	e.line = "[Brisvane] Uploading to Host: " + std::string(e.endpoint.host.c_str()) +
		 ", Port: " + std::to_string(e.endpoint.port) +
		 ", Path: " + std::string(reference_mask(e.endpoint.path).c_str());
	return e;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
	fuzz::quiet_log();
	return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	const std::string url(reinterpret_cast<const char *>(data), size);
	fuzz::last_line().clear();
	const auto got = parse_server_url(url);
	const Expected want = reference(url);

	fuzz::check(got.has_value() == want.ok, "accepted or refused wrongly");
	// The log line is cut at 4 KiB by the capture; compare what fits.
	fuzz::check(fuzz::last_line() == want.line.substr(0, 4095), "log line");
	if (got) {
		fuzz::check(got->host == want.endpoint.host, "host");
		fuzz::check(got->port == want.endpoint.port, "port");
		fuzz::check(got->path == want.endpoint.path, "path");
		fuzz::check(got->secure == want.endpoint.secure, "secure");
		fuzz::check(got->user == want.endpoint.user, "user");
		fuzz::check(got->password == want.endpoint.password, "password");
		fuzz::check(got->has_credentials == want.endpoint.has_credentials, "credentials");
		fuzz::check(!got->path.empty() && got->path[0] == '/', "path starts with a slash");
	}
	// The masked URL is the reference's reading put together again without user info.
	if (url.rfind("http://", 0) == 0 || url.rfind("https://", 0) == 0) {
		const size_t start = url.find("://") + 3;
		const size_t end = std::min(url.find_first_of("/?#", start), url.size());
		const std::string authority = url.substr(start, end - start);
		const std::string host_port = authority.substr(std::min(authority.rfind('@') + 1, authority.size()));
		fuzz::check(mask_url_for_log(url) == url.substr(0, start) + host_port + reference_mask(url.substr(end)),
			    "masked URL");
	}
	return 0;
}
