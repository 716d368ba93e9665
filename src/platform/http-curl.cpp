// SPDX-License-Identifier: GPL-3.0-or-later
// The HTTP layer on libcurl.
//
// What goes on the wire: "POST <path> HTTP/1.1", then User-Agent, Content-Type and Authorization
// (ours) and the two headers HTTP/1.1 needs that libcurl adds itself, Host and Content-Length. libcurl's
// other defaults are switched off: Accept, "Expect: 100-continue" (it would add it for bodies
// over 1 MiB), chunked transfer (the length is always declared), HTTP/2 over TLS. Another method
// sends Host, User-Agent and Authorization only.
#include "platform/http.hpp"

#include <curl/curl.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace platform {

namespace {

using Clock = std::chrono::steady_clock;

struct CurlDeleter {
	void operator()(CURL *curl) const { curl_easy_cleanup(curl); }
	void operator()(CURLU *url) const { curl_url_cleanup(url); }
	void operator()(curl_slist *list) const { curl_slist_free_all(list); }
};
template<class T> using CurlPtr = std::unique_ptr<T, CurlDeleter>;

// libcurl has no timeout for "no progress for so long" nor for "the answer has not begun";
// the progress callback provides them, with WinHTTP's limits told apart.
struct Watchdog {
	CURL *curl = nullptr;
	curl_off_t body_length = 0;
	HttpTimeouts limits;
	HttpCancel *cancel = nullptr;
	bool watching = false;
	curl_off_t moved = 0;
	curl_off_t header_bytes = 0;
	Clock::time_point since;
	bool timed_out = false;
	bool cancelled = false;
	std::string reason; // of the last status line, raw
};

struct BodySource {
	const HttpBodyReader *read = nullptr;
	bool failed = false;
};

int on_progress(void *data, curl_off_t, curl_off_t dlnow, curl_off_t, curl_off_t ulnow)
{
	auto *dog = static_cast<Watchdog *>(data);
	if (dog->cancel && dog->cancel->cancelled()) {
		dog->cancelled = true;
		return 1;
	}
	curl_off_t pretransfer = 0;
	curl_easy_getinfo(dog->curl, CURLINFO_PRETRANSFER_TIME_T, &pretransfer);
	if (pretransfer == 0)
		return 0; // still connecting: the connect timeout applies
	const auto now = Clock::now();
	const curl_off_t moved = dlnow + ulnow + dog->header_bytes;
	if (!dog->watching || moved != dog->moved) {
		dog->watching = true;
		dog->moved = moved;
		dog->since = now;
		return 0;
	}
	int limit_ms = dog->limits.receive_ms;
	if (ulnow < dog->body_length)
		limit_ms = dog->limits.send_ms;
	else if (dog->header_bytes == 0)
		limit_ms = dog->limits.response_ms; // the request is out, the answer has not begun
	if (limit_ms > 0 && now - dog->since >= std::chrono::milliseconds(limit_ms)) {
		dog->timed_out = true;
		return 1;
	}
	return 0;
}

// libcurl reads the status code but keeps no reason phrase: it is taken from the status line,
// the last one seen (an interim 1xx comes first).
size_t on_header(char *line, size_t size, size_t count, void *data)
{
	auto *dog = static_cast<Watchdog *>(data);
	const size_t length = size * count;
	dog->header_bytes += curl_off_t(length);
	const std::string text(line, length);
	if (text.compare(0, 5, "HTTP/") == 0) {
		const size_t code = text.find(' ');
		const size_t phrase = code == std::string::npos ? code : text.find(' ', code + 1);
		dog->reason = phrase == std::string::npos ? std::string() : text.substr(phrase + 1);
	}
	return length;
}

size_t on_read(char *out, size_t size, size_t count, void *data)
{
	auto *source = static_cast<BodySource *>(data);
	const size_t got = (*source->read)(out, size * count);
	if (got == http_body_failed || got > size * count) {
		source->failed = true;
		return CURL_READFUNC_ABORT;
	}
	return got;
}

// The status line and headers are all we want; stop before the response body, like a
// client that never reads it.
size_t on_body(char *, size_t, size_t, void *)
{
	return 0; // a short count ends the transfer
}

HttpOutcome failure(HttpStage stage, HttpFailure why, long error)
{
	HttpOutcome outcome;
	outcome.sent = false;
	outcome.failed_stage = stage;
	outcome.failure = why;
	outcome.error = error;
	outcome.no_answer = HttpNoAnswer::Other;
	return outcome;
}

bool certificate_refused(CURLcode code)
{
	return code == CURLE_PEER_FAILED_VERIFICATION || code == CURLE_SSL_PINNEDPUBKEYNOTMATCH ||
	       code == CURLE_SSL_INVALIDCERTSTATUS;
}

HttpNoAnswer no_answer(CURLcode code, const Watchdog &dog)
{
	if (dog.timed_out || code == CURLE_OPERATION_TIMEDOUT)
		return HttpNoAnswer::TimedOut;
	if (code == CURLE_COULDNT_RESOLVE_HOST)
		return HttpNoAnswer::NameNotFound;
	if (code == CURLE_COULDNT_CONNECT)
		return HttpNoAnswer::Refused;
	if (certificate_refused(code))
		return HttpNoAnswer::Certificate;
	return HttpNoAnswer::Other;
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
		return failure(HttpStage::Open, HttpFailure::Transient, CURLE_FAILED_INIT);

	// The server is named through the URL API so that a host that cannot be one (empty,
	// or holding '/', '?', '@' and the like) is refused rather than reinterpreted.
	CurlPtr<CURLU> url(curl_url());
	if (!url)
		return failure(HttpStage::Connect, HttpFailure::Transient, CURLE_OUT_OF_MEMORY);
	const std::string port = std::to_string(request.port);
	if (curl_url_set(url.get(), CURLUPART_SCHEME, request.secure ? "https" : "http", 0) != CURLUE_OK ||
	    curl_url_set(url.get(), CURLUPART_HOST, request.host.c_str(), 0) != CURLUE_OK ||
	    curl_url_set(url.get(), CURLUPART_PORT, port.c_str(), 0) != CURLUE_OK)
		return failure(HttpStage::Connect, HttpFailure::BadTarget, CURLE_URL_MALFORMAT);

	if (forges_headers(request))
		return failure(HttpStage::OpenRequest, HttpFailure::BadTarget, CURLE_URL_MALFORMAT);

	// Authorization as a header of ours, not through libcurl's own user and password: those
	// would be sent to any server a redirect names, and in libcurl's place in the header order.
	std::vector<std::string> lines;
	if (!request.header_text.empty())
		lines.push_back(request.header_text);
	if (!request.authorization.empty())
		lines.push_back("Authorization: " + request.authorization);
	lines.push_back("Accept:");
	lines.push_back("Expect:");
	curl_slist *list = nullptr;
	for (const std::string &line : lines) {
		curl_slist *longer = curl_slist_append(list, line.c_str());
		if (!longer) {
			curl_slist_free_all(list);
			return failure(HttpStage::OpenRequest, HttpFailure::Transient, CURLE_OUT_OF_MEMORY);
		}
		list = longer;
	}
	CurlPtr<curl_slist> headers(list);

	const bool post = request.method == "POST";
	Watchdog dog;
	dog.curl = curl.get();
	dog.body_length = post ? static_cast<curl_off_t>(request.body_length) : 0;
	dog.limits = request.timeouts.value_or(http_timeouts());
	dog.cancel = request.cancel;
	const HttpBodyReader no_body = [](char *, size_t) -> size_t { return 0; };
	BodySource source;
	source.read = request.read_body ? &request.read_body : &no_body;

	CURL *c = curl.get();
	CURLcode set = CURLE_OK;
	auto opt = [&](CURLoption option, auto value) {
		if (set == CURLE_OK)
			set = curl_easy_setopt(c, option, value);
	};
	opt(CURLOPT_CURLU, url.get());
	opt(CURLOPT_REQUEST_TARGET, request.path.c_str());
	opt(CURLOPT_HTTP_VERSION, long(CURL_HTTP_VERSION_1_1));
	if (post) {
		opt(CURLOPT_POST, 1L);
		opt(CURLOPT_POSTFIELDSIZE_LARGE, dog.body_length);
		opt(CURLOPT_READFUNCTION, on_read);
		opt(CURLOPT_READDATA, &source);
		// Fewer, larger pieces than libcurl's 64 KiB: well under the 1 MiB an upload may hold.
		opt(CURLOPT_UPLOAD_BUFFERSIZE, 256L * 1024);
	} else {
		opt(CURLOPT_CUSTOMREQUEST, request.method.c_str());
	}
	opt(CURLOPT_USERAGENT, request.user_agent.c_str());
	opt(CURLOPT_HTTPHEADER, headers.get());
	// The target has to reach the server as given, which a proxy would not pass on; WinHTTP's
	// default configuration goes direct as well.
	opt(CURLOPT_PROXY, "");
	opt(CURLOPT_NOSIGNAL, 1L); // uploads run on threads of their own
	// Resolving and connecting share libcurl's one limit; resolving has none of its own.
	opt(CURLOPT_CONNECTTIMEOUT_MS, long(dog.limits.resolve_ms) + long(dog.limits.connect_ms));
	opt(CURLOPT_NOPROGRESS, 0L);
	opt(CURLOPT_XFERINFOFUNCTION, on_progress);
	opt(CURLOPT_XFERINFODATA, &dog);
	opt(CURLOPT_HEADERFUNCTION, on_header);
	opt(CURLOPT_HEADERDATA, &dog);
	opt(CURLOPT_WRITEFUNCTION, on_body);
	opt(CURLOPT_SSL_VERIFYPEER, 1L);
	opt(CURLOPT_SSL_VERIFYHOST, 2L);
	const std::string &trusted = http_trusted_certificates();
	if (!trusted.empty())
		opt(CURLOPT_CAINFO, trusted.c_str());
	if (set != CURLE_OK)
		return failure(HttpStage::OpenRequest, HttpFailure::Transient, set);

	const CURLcode result = curl_easy_perform(c);

	long status = 0;
	curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
	curl_off_t uploaded = 0;
	curl_easy_getinfo(c, CURLINFO_SIZE_UPLOAD_T, &uploaded);
	curl_off_t pretransfer = 0;
	curl_easy_getinfo(c, CURLINFO_PRETRANSFER_TIME_T, &pretransfer);

	// Once the whole request is out, or the server has answered, the send succeeded; a
	// failure while waiting for the answer only leaves the status unread (0). A cut-short
	// exchange without an answer is reported as such.
	const bool request_out = pretransfer > 0 && uploaded == dog.body_length && !source.failed;
	if (result == CURLE_OK || status != 0 || (request_out && !dog.cancelled)) {
		HttpOutcome outcome;
		outcome.sent = true;
		outcome.status = static_cast<uint32_t>(status);
		if (status != 0) {
			outcome.reason = clean_reason_phrase(dog.reason);
		} else {
			outcome.error = dog.timed_out ? CURLE_OPERATION_TIMEDOUT : result;
			outcome.no_answer = no_answer(result, dog);
		}
		return outcome;
	}
	if (dog.cancelled)
		return failure(HttpStage::Send, HttpFailure::Cancelled, CURLE_ABORTED_BY_CALLBACK);
	if (source.failed)
		return failure(HttpStage::Send, HttpFailure::BodyRead, CURLE_READ_ERROR);
	HttpOutcome outcome;
	if (dog.timed_out)
		outcome = failure(HttpStage::Send, HttpFailure::Transient, CURLE_OPERATION_TIMEDOUT);
	else
		outcome =
		    failure(HttpStage::Send,
			    certificate_refused(result) ? HttpFailure::Certificate : HttpFailure::Transient, result);
	outcome.no_answer = no_answer(result, dog);
	return outcome;
}

} // namespace platform
