// SPDX-License-Identifier: GPL-3.0-or-later
// parse_server_url against a plain reading of the accepted URL form, log line included.
#include "fuzz-support.hpp"

#include "upload/server-url.hpp"

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
	std::string host_port = rest;
	e.endpoint.path = "/";
	if (const size_t slash = rest.find('/'); slash != std::string::npos) {
		host_port = rest.substr(0, slash);
		e.endpoint.path = rest.substr(slash);
	}
	e.endpoint.host = host_port;
	if (const size_t colon = host_port.find(':'); colon != std::string::npos) {
		const auto port = reference_port(host_port.substr(colon + 1));
		if (!port || *port < 1 || *port > 65535) {
			e.line = "[Brisvane] Invalid port in URL: " + std::string(host_port.c_str());
			return e;
		}
		e.endpoint.host = host_port.substr(0, colon);
		e.endpoint.port = *port;
	}
	e.ok = true;
	e.line = "[Brisvane] Uploading to Host: " + std::string(e.endpoint.host.c_str()) +
		 ", Port: " + std::to_string(e.endpoint.port) + ", Path: " + std::string(e.endpoint.path.c_str());
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
		fuzz::check(!got->path.empty() && got->path[0] == '/', "path starts with a slash");
	}
	return 0;
}
