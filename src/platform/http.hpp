// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

namespace platform {

// Every limit is set explicitly, the same on every platform, from WinHTTP's documented
// defaults: Wine's own defaults differ from Windows', and libcurl's from both. 0 is no limit.
struct HttpTimeouts {
	int resolve_ms = 0;      // name resolution (libcurl counts it in connect_ms)
	int connect_ms = 60000;  // to connect
	int send_ms = 30000;     // without sending progress
	int receive_ms = 30000;  // without receiving progress
	int response_ms = 90000; // for the response to begin once the request is out
};
// Process-wide; tests shorten them.
HttpTimeouts &http_timeouts();

// A PEM file of certificates that the curl layer trusts instead of the system's store (empty:
// the system's store); tests point it at their own server. The curl layer only: WinHTTP always
// uses Windows's store.
std::string &http_trusted_certificates();

// Which step of the exchange failed; the upload names it in its log line.
enum class HttpStage { Open, Connect, OpenRequest, Send };

// Why the request did not go out, as far as trying again could help.
enum class HttpFailure {
	None,
	Transient,   // no connection, name not resolved, send failed, timed out, out of resources
	Certificate, // the server's certificate was refused
	BadTarget,   // host or path that no request can be made of
	Cancelled,   // cut short through HttpCancel
	BodyRead,    // the body's source failed
};

// Why no status came back, in the words a user can act on.
enum class HttpNoAnswer {
	None,         // a status was read
	NameNotFound, // the host's name did not resolve
	Refused,      // nothing accepted the connection
	TimedOut,     // a limit ran out, before or after the request went out
	Certificate,  // the server's certificate was refused
	Other,        // anything else: reset, closed without a word, refused target, cancelled
};

struct HttpOutcome {
	bool sent = false;                        // the request went out and the exchange ended
	HttpStage failed_stage = HttpStage::Send; // meaningful when !sent
	HttpFailure failure = HttpFailure::None;  // meaningful when !sent
	long error = 0;                           // the layer's own error number when !sent or no status
	uint32_t status = 0;                      // 0 when no status could be read
	// The status line's reason phrase ("No Content"), printable ASCII only; empty if none.
	std::string reason;
	HttpNoAnswer no_answer = HttpNoAnswer::None; // meaningful when status is 0
};

// Lets another thread cut a request short: the layer checks it between pieces and registers
// what it must close to wake a blocking call.
class HttpCancel {
public:
	void cancel()
	{
		std::lock_guard<std::mutex> lock(mutex_);
		cancelled_ = true;
		if (wake_)
			wake_();
	}
	bool cancelled() const { return cancelled_.load(); }
	// The layer's way to interrupt a call in progress; called under the lock, at most once
	// per registration. Cleared before the layer releases what it closes.
	void set_wake(std::function<void()> wake)
	{
		std::lock_guard<std::mutex> lock(mutex_);
		wake_ = std::move(wake);
		if (cancelled_ && wake_)
			wake_();
	}
	void clear_wake()
	{
		std::lock_guard<std::mutex> lock(mutex_);
		wake_ = nullptr;
	}

private:
	std::mutex mutex_;
	std::atomic<bool> cancelled_{false};
	std::function<void()> wake_;
};

// Fills up to `size` bytes of the body at `out` and returns how many; 0 only at the end.
// Returns SIZE_MAX when the source failed: the request is abandoned.
using HttpBodyReader = std::function<size_t(char *out, size_t size)>;
constexpr size_t http_body_failed = SIZE_MAX;

// A POST by default; another method ("OPTIONS") goes out without a body and without
// Content-Length, the same on every layer.
struct HttpPost {
	std::string method = "POST";
	std::string host; // UTF-8; an IPv6 address in brackets ("[::1]")
	uint16_t port = 80;
	std::string path; // UTF-8, sent as given, no escaping added
	bool secure = false;
	std::string user_agent;
	std::string header_text; // one extra header line, without line ending
	// The Authorization header's value (empty: none), sent right after header_text.
	std::string authorization;
	// The body, streamed: exactly body_length bytes are read from it and declared up front.
	HttpBodyReader read_body;
	uint64_t body_length = 0;
	HttpCancel *cancel = nullptr; // optional
	// This request's own limits; none: http_timeouts().
	std::optional<HttpTimeouts> timeouts;
};

// A line break in the path or a header would end its line early and forge headers, and a
// method that is not one token would forge the request line: such a request is refused
// before anything is sent.
bool forges_headers(const HttpPost &request);

// What a layer hands back of a raw reason phrase: blanks around it trimmed, anything outside
// printable ASCII dropped (the layers decode other bytes differently), at most 128 characters.
std::string clean_reason_phrase(const std::string &raw);

// Blocking request; a POST's body length is declared in advance (no chunked transfer).
HttpOutcome http_post(const HttpPost &request);

// Once per process, before the first http_post (curl_global_init and the like).
void http_global_init();

} // namespace platform
