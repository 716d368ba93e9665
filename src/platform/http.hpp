// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

// Bounds every upload so a dead server cannot hold its thread forever (WinHTTP's defaults).
struct HttpTimeouts {
	int connect_ms = 60000;
	int send_ms = 30000;
	int receive_ms = 30000;
};
// Process-wide; tests shorten them.
HttpTimeouts &http_timeouts();

// A PEM file of certificates that the curl layer trusts instead of the system's store (empty:
// the system's store); tests point it at their own server. The curl layer only: WinHTTP always
// uses Windows's store.
std::string &http_trusted_certificates();

// Which step of the exchange failed; the upload names it in its log line.
enum class HttpStage { Open, Connect, OpenRequest, Send };

struct HttpOutcome {
	bool sent = false;                        // the request went out and the exchange ended
	HttpStage failed_stage = HttpStage::Send; // meaningful when !sent
	long error = 0;                           // the layer's own error number when !sent
	uint32_t status = 0;                      // 0 when no status could be read
};

struct HttpPost {
	std::string host;
	uint16_t port = 80;
	std::string path; // sent as given, no escaping
	bool secure = false;
	std::string user_agent;
	std::string header_text; // one extra header line, without line ending
	const char *body = nullptr;
	size_t body_length = 0;
};

// A line break in the path or a header would end its line early and forge headers: such a
// request is refused before anything is sent.
bool forges_headers(const HttpPost &request);

// Blocking POST with the body sent whole and its length declared in advance.
HttpOutcome http_post(const HttpPost &request);

// Once per process, before the first http_post (curl_global_init and the like).
void http_global_init();

} // namespace platform
