// SPDX-License-Identifier: GPL-3.0-or-later
// The upload's HTTP layer on Windows: WinHTTP in blocking mode, the body written in pieces.
#include <windows.h>
#include <winhttp.h>

#include "platform/files.hpp"
#include "platform/http.hpp"

#include <memory>
#include <string>

namespace platform {

namespace {

// The host and path are UTF-8 like everything the host hands over; text that is not
// cannot be put on the wire as the other platforms would send it.
bool from_utf8(const std::string &text, std::wstring &out)
{
	out.clear();
	return text.empty() || widen_utf8(text, out);
}

class Handle {
public:
	explicit Handle(HINTERNET h) : handle_(h) {}
	~Handle()
	{
		if (handle_)
			WinHttpCloseHandle(handle_);
	}
	Handle(const Handle &) = delete;
	Handle &operator=(const Handle &) = delete;
	HINTERNET get() const { return handle_; }
	// For a handle that someone else closed.
	void forget() { handle_ = nullptr; }
	explicit operator bool() const { return handle_ != nullptr; }

private:
	HINTERNET handle_;
};

HttpNoAnswer no_answer(DWORD error);

HttpOutcome failure(HttpStage stage, HttpFailure why, DWORD error)
{
	HttpOutcome outcome;
	outcome.failed_stage = stage;
	outcome.failure = why;
	outcome.error = static_cast<long>(error);
	outcome.no_answer =
	    why == HttpFailure::Transient || why == HttpFailure::Certificate ? no_answer(error) : HttpNoAnswer::Other;
	return outcome;
}

bool certificate_refused(DWORD error)
{
	switch (error) {
	case ERROR_WINHTTP_SECURE_FAILURE:
	case ERROR_WINHTTP_SECURE_INVALID_CA:
	case ERROR_WINHTTP_SECURE_CHANNEL_ERROR: // what Wine reports for an untrusted certificate
	case ERROR_WINHTTP_SECURE_CERT_DATE_INVALID:
	case ERROR_WINHTTP_SECURE_CERT_CN_INVALID:
	case ERROR_WINHTTP_SECURE_INVALID_CERT:
	case ERROR_WINHTTP_SECURE_CERT_REVOKED:
	case ERROR_WINHTTP_SECURE_CERT_WRONG_USAGE:
	case ERROR_WINHTTP_SECURE_CERT_REV_FAILED:
		return true;
	default:
		return false;
	}
}

HttpNoAnswer no_answer(DWORD error)
{
	if (certificate_refused(error))
		return HttpNoAnswer::Certificate;
	switch (error) {
	case ERROR_WINHTTP_NAME_NOT_RESOLVED:
		return HttpNoAnswer::NameNotFound;
	case ERROR_WINHTTP_CANNOT_CONNECT:
		return HttpNoAnswer::Refused;
	case ERROR_WINHTTP_TIMEOUT:
	case WSAETIMEDOUT: // what Wine reports when the answer does not come in time
		return HttpNoAnswer::TimedOut;
	default:
		return HttpNoAnswer::Other;
	}
}

// The status text as the curl layer keeps it: only printable ASCII survives either way.
std::string status_text(HINTERNET request)
{
	DWORD size = 0;
	WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_TEXT, WINHTTP_HEADER_NAME_BY_INDEX, WINHTTP_NO_OUTPUT_BUFFER,
			    &size, WINHTTP_NO_HEADER_INDEX);
	if (size == 0)
		return {};
	std::wstring text(size / sizeof(wchar_t) + 1, L'\0');
	if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_TEXT, WINHTTP_HEADER_NAME_BY_INDEX, text.data(), &size,
				 WINHTTP_NO_HEADER_INDEX))
		return {};
	text.resize(size / sizeof(wchar_t));
	std::string ascii;
	for (wchar_t c : text)
		ascii.push_back(c >= 0x20 && c <= 0x7e ? static_cast<char>(c) : '\x7f');
	return clean_reason_phrase(ascii);
}

HttpFailure classify(DWORD error, const HttpCancel *cancel)
{
	if (cancel && cancel->cancelled())
		return HttpFailure::Cancelled;
	if (certificate_refused(error))
		return HttpFailure::Certificate;
	if (error == ERROR_WINHTTP_INVALID_URL || error == ERROR_WINHTTP_UNRECOGNIZED_SCHEME)
		return HttpFailure::BadTarget;
	return HttpFailure::Transient;
}

// What is handed to WinHttpWriteData at a time: large enough for few calls, small beside
// the 1 MiB an upload may hold.
constexpr DWORD piece_size = 256 * 1024;

} // namespace

void http_global_init() {}

HttpOutcome http_post(const HttpPost &request)
{
	HttpCancel *const cancel = request.cancel;
	if (cancel && cancel->cancelled())
		return failure(HttpStage::Open, HttpFailure::Cancelled, ERROR_WINHTTP_OPERATION_CANCELLED);

	// Our headers in the order the curl layer sends them; an IPv6 host stays in its brackets,
	// which WinHttpConnect expects and keeps in the Host header.
	std::string header_lines = request.header_text;
	if (!request.authorization.empty())
		header_lines += (header_lines.empty() ? "" : "\r\n") + ("Authorization: " + request.authorization);
	std::wstring agent, host, path, headers, method;
	if (!from_utf8(request.user_agent, agent) || !from_utf8(header_lines, headers) ||
	    !from_utf8(request.method, method))
		return failure(HttpStage::Open, HttpFailure::BadTarget, ERROR_INVALID_PARAMETER);

	// Closed in reverse order of declaration: request, connection, session.
	Handle session(WinHttpOpen(agent.c_str(), WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
				   WINHTTP_NO_PROXY_BYPASS, 0));
	if (!session)
		return failure(HttpStage::Open, HttpFailure::Transient, GetLastError());

	// Every limit set, none left to the layer: Wine's defaults are not Windows'.
	const HttpTimeouts limits = request.timeouts.value_or(http_timeouts());
	WinHttpSetTimeouts(session.get(), limits.resolve_ms, limits.connect_ms, limits.send_ms, limits.receive_ms);

	// Some WinHTTP builds take an empty name for this machine; no upload may go there unnamed.
	if (request.host.empty() || !from_utf8(request.host, host))
		return failure(HttpStage::Connect, HttpFailure::BadTarget, ERROR_WINHTTP_INVALID_URL);
	Handle connection(WinHttpConnect(session.get(), host.c_str(), request.port, 0));
	if (!connection) {
		const DWORD error = GetLastError();
		return failure(HttpStage::Connect, classify(error, cancel), error);
	}

	// The path goes out as given, as on every platform: WinHTTP would otherwise escape what
	// it deems unsafe ('#', ...). Unescaped, a line break would end the request line early
	// and forge headers, so it is refused.
	if (forges_headers(request) || !from_utf8(request.path, path))
		return failure(HttpStage::OpenRequest, HttpFailure::BadTarget, ERROR_WINHTTP_INVALID_URL);
	const DWORD flags = (request.secure ? WINHTTP_FLAG_SECURE : 0) | WINHTTP_FLAG_ESCAPE_DISABLE |
			    WINHTTP_FLAG_ESCAPE_DISABLE_QUERY;
	Handle req(WinHttpOpenRequest(connection.get(), method.c_str(), path.c_str(), nullptr, WINHTTP_NO_REFERER,
				      WINHTTP_DEFAULT_ACCEPT_TYPES, flags));
	if (!req) {
		const DWORD error = GetLastError();
		return failure(HttpStage::OpenRequest, classify(error, cancel), error);
	}

	// Without this a server that accepts and never answers holds the thread for good:
	// WinHttpSetTimeouts alone does not bound the wait for the response everywhere.
	DWORD response_ms = static_cast<DWORD>(limits.response_ms);
	WinHttpSetOption(req.get(), WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &response_ms, sizeof(response_ms));
	// WinHTTP follows redirects by itself, turning the POST into a GET or sending the body
	// again empty, and a 2xx from there would delete a take no server stored. Like libcurl,
	// hand the redirect's own status back instead.
	DWORD no_redirects = WINHTTP_DISABLE_REDIRECTS;
	WinHttpSetOption(req.get(), WINHTTP_OPTION_DISABLE_FEATURE, &no_redirects, sizeof(no_redirects));
	DWORD never = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
	WinHttpSetOption(req.get(), WINHTTP_OPTION_REDIRECT_POLICY, &never, sizeof(never));

	// Only a POST has a body; WinHTTP sends Content-Length for other methods only when one is declared.
	const uint64_t body_length = request.method == "POST" ? request.body_length : 0;
	if (body_length > MAXDWORD)
		return failure(HttpStage::Send, HttpFailure::BadTarget, ERROR_INVALID_PARAMETER);

	// A blocking call is cut short by closing its request handle from the cancelling thread.
	bool closed_by_cancel = false;
	if (cancel) {
		HINTERNET handle = req.get();
		cancel->set_wake([handle, &closed_by_cancel] {
			if (!closed_by_cancel)
				WinHttpCloseHandle(handle);
			closed_by_cancel = true;
		});
	}
	struct Unwake {
		HttpCancel *cancel;
		bool &closed;
		Handle &req;
		~Unwake()
		{
			if (cancel)
				cancel->clear_wake(); // after this, closed is final
			if (closed)
				req.forget();
		}
	} unwake{cancel, closed_by_cancel, req};

	auto send_failure = [&](HttpFailure why, DWORD error) {
		return failure(HttpStage::Send, why == HttpFailure::None ? classify(error, cancel) : why, error);
	};

	const DWORD length = static_cast<DWORD>(body_length);
	const wchar_t *extra = headers.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : headers.c_str();
	const DWORD extra_length = headers.empty() ? 0 : static_cast<DWORD>(-1L);
	if (!WinHttpSendRequest(req.get(), extra, extra_length, WINHTTP_NO_REQUEST_DATA, 0, length, 0))
		return send_failure(HttpFailure::None, GetLastError());

	std::unique_ptr<char[]> piece(new char[piece_size]);
	uint64_t left = body_length;
	while (left > 0) {
		if (cancel && cancel->cancelled())
			return send_failure(HttpFailure::Cancelled, ERROR_WINHTTP_OPERATION_CANCELLED);
		const size_t want = static_cast<size_t>(left < piece_size ? left : piece_size);
		const size_t got = request.read_body ? request.read_body(piece.get(), want) : 0;
		if (got == http_body_failed || got == 0 || got > want)
			return send_failure(HttpFailure::BodyRead, ERROR_READ_FAULT);
		size_t offset = 0;
		while (offset < got) {
			DWORD written = 0;
			if (!WinHttpWriteData(req.get(), piece.get() + offset, static_cast<DWORD>(got - offset),
					      &written))
				return send_failure(HttpFailure::None, GetLastError());
			offset += written;
		}
		left -= got;
	}

	const BOOL answered = WinHttpReceiveResponse(req.get(), nullptr);
	const DWORD receive_error = answered ? ERROR_SUCCESS : GetLastError();
	if (!answered && cancel && cancel->cancelled())
		return send_failure(HttpFailure::Cancelled, ERROR_WINHTTP_OPERATION_CANCELLED);
	HttpOutcome outcome;
	outcome.sent = true;
	DWORD status = 0;
	DWORD status_size = sizeof(status);
	WinHttpQueryHeaders(req.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
			    WINHTTP_HEADER_NAME_BY_INDEX, &status, &status_size, WINHTTP_NO_HEADER_INDEX);
	outcome.status = status;
	if (status != 0) {
		outcome.reason = status_text(req.get());
	} else {
		outcome.error = static_cast<long>(receive_error);
		outcome.no_answer = no_answer(receive_error);
	}
	return outcome;
}

} // namespace platform
