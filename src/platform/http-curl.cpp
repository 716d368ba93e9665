// SPDX-License-Identifier: GPL-3.0-or-later
// The HTTP layer on libcurl.
//
// What goes on the wire: "POST <path> HTTP/1.1", then User-Agent, Content-Type (ours) and the
// two headers HTTP/1.1 needs that libcurl adds itself, Host and Content-Length. libcurl's
// other defaults are switched off: Accept, "Expect: 100-continue" (it would add it for bodies
// over 1 MiB), chunked transfer (the length is always declared), HTTP/2 over TLS.
#include "platform/http.hpp"

#include <curl/curl.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <string>

namespace platform {

namespace {

using Clock = std::chrono::steady_clock;

struct CurlDeleter {
	void operator()(CURL *curl) const { curl_easy_cleanup(curl); }
	void operator()(CURLU *url) const { curl_url_cleanup(url); }
	void operator()(curl_slist *list) const { curl_slist_free_all(list); }
};
template<class T> using CurlPtr = std::unique_ptr<T, CurlDeleter>;

// libcurl has no timeout for "no progress for so long"; the progress callback provides it,
// with the send and receive limits told apart like WinHTTP's.
struct Watchdog {
	CURL *curl = nullptr;
	curl_off_t body_length = 0;
	HttpTimeouts limits;
	bool watching = false;
	curl_off_t moved = 0;
	Clock::time_point since;
	bool timed_out = false;
};

int on_progress(void *data, curl_off_t, curl_off_t dlnow, curl_off_t, curl_off_t ulnow)
{
	auto *dog = static_cast<Watchdog *>(data);
	curl_off_t pretransfer = 0;
	curl_easy_getinfo(dog->curl, CURLINFO_PRETRANSFER_TIME_T, &pretransfer);
	if (pretransfer == 0)
		return 0; // still connecting: the connect timeout applies
	const auto now = Clock::now();
	const curl_off_t moved = dlnow + ulnow;
	if (!dog->watching || moved != dog->moved) {
		dog->watching = true;
		dog->moved = moved;
		dog->since = now;
		return 0;
	}
	const int limit_ms = ulnow < dog->body_length ? dog->limits.send_ms : dog->limits.receive_ms;
	if (now - dog->since >= std::chrono::milliseconds(limit_ms)) {
		dog->timed_out = true;
		return 1;
	}
	return 0;
}

// The status line and headers are all we want; stop before the response body, like a
// client that never reads it.
size_t on_body(char *, size_t, size_t, void *)
{
	return 0; // a short count ends the transfer
}

HttpOutcome failure(HttpStage stage, long error)
{
	HttpOutcome outcome;
	outcome.sent = false;
	outcome.failed_stage = stage;
	outcome.error = error;
	return outcome;
}

} // namespace

std::string &http_trusted_certificates()
{
	static std::string file;
	return file;
}

void http_global_init()
{
	static std::once_flag once;
	std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

HttpOutcome http_post(const HttpPost &request)
{
	http_global_init();

	CurlPtr<CURL> curl(curl_easy_init());
	if (!curl)
		return failure(HttpStage::Open, CURLE_FAILED_INIT);

	// The server is named through the URL API so that a host that cannot be one (empty,
	// or holding '/', '?', '@' and the like) is refused rather than reinterpreted.
	CurlPtr<CURLU> url(curl_url());
	if (!url)
		return failure(HttpStage::Connect, CURLE_OUT_OF_MEMORY);
	const std::string port = std::to_string(request.port);
	if (curl_url_set(url.get(), CURLUPART_SCHEME, request.secure ? "https" : "http", 0) != CURLUE_OK ||
	    curl_url_set(url.get(), CURLUPART_HOST, request.host.c_str(), 0) != CURLUE_OK ||
	    curl_url_set(url.get(), CURLUPART_PORT, port.c_str(), 0) != CURLUE_OK)
		return failure(HttpStage::Connect, CURLE_URL_MALFORMAT);

	if (forges_headers(request))
		return failure(HttpStage::OpenRequest, CURLE_URL_MALFORMAT);

	curl_slist *list = nullptr;
	for (const std::string &line : {request.header_text, std::string("Accept:"), std::string("Expect:")}) {
		curl_slist *longer = curl_slist_append(list, line.c_str());
		if (!longer) {
			curl_slist_free_all(list);
			return failure(HttpStage::OpenRequest, CURLE_OUT_OF_MEMORY);
		}
		list = longer;
	}
	CurlPtr<curl_slist> headers(list);

	Watchdog dog;
	dog.curl = curl.get();
	dog.body_length = static_cast<curl_off_t>(request.body_length);
	dog.limits = http_timeouts();

	CURL *c = curl.get();
	CURLcode set = CURLE_OK;
	auto opt = [&](CURLoption option, auto value) {
		if (set == CURLE_OK)
			set = curl_easy_setopt(c, option, value);
	};
	opt(CURLOPT_CURLU, url.get());
	opt(CURLOPT_REQUEST_TARGET, request.path.c_str());
	opt(CURLOPT_HTTP_VERSION, long(CURL_HTTP_VERSION_1_1));
	opt(CURLOPT_POST, 1L);
	opt(CURLOPT_POSTFIELDS, request.body ? request.body : "");
	opt(CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(request.body_length));
	opt(CURLOPT_USERAGENT, request.user_agent.c_str());
	opt(CURLOPT_HTTPHEADER, headers.get());
	// The target has to reach the server as given, which a proxy would not pass on; WinHTTP's
	// default configuration goes direct as well.
	opt(CURLOPT_PROXY, "");
	opt(CURLOPT_NOSIGNAL, 1L); // several uploads run on their own threads
	opt(CURLOPT_CONNECTTIMEOUT_MS, long(dog.limits.connect_ms));
	opt(CURLOPT_NOPROGRESS, 0L);
	opt(CURLOPT_XFERINFOFUNCTION, on_progress);
	opt(CURLOPT_XFERINFODATA, &dog);
	opt(CURLOPT_WRITEFUNCTION, on_body);
	opt(CURLOPT_SSL_VERIFYPEER, 1L);
	opt(CURLOPT_SSL_VERIFYHOST, 2L);
	const std::string &trusted = http_trusted_certificates();
	if (!trusted.empty())
		opt(CURLOPT_CAINFO, trusted.c_str());
	if (set != CURLE_OK)
		return failure(HttpStage::OpenRequest, set);

	const CURLcode result = curl_easy_perform(c);

	long status = 0;
	curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
	curl_off_t uploaded = 0;
	curl_easy_getinfo(c, CURLINFO_SIZE_UPLOAD_T, &uploaded);
	curl_off_t pretransfer = 0;
	curl_easy_getinfo(c, CURLINFO_PRETRANSFER_TIME_T, &pretransfer);

	// Once the whole request is out, or the server has answered, the send succeeded; a
	// failure while waiting for the answer only leaves the status unread (0).
	const bool request_out = pretransfer > 0 && uploaded == dog.body_length;
	if (result == CURLE_OK || status != 0 || request_out) {
		HttpOutcome outcome;
		outcome.sent = true;
		outcome.status = static_cast<uint32_t>(status);
		return outcome;
	}
	if (dog.timed_out)
		return failure(HttpStage::Send, CURLE_OPERATION_TIMEDOUT);
	return failure(HttpStage::Send, result);
}

} // namespace platform
