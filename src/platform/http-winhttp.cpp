// SPDX-License-Identifier: GPL-3.0-or-later
// The upload's HTTP layer on Windows: WinHTTP in blocking mode.
#include <windows.h>
#include <winhttp.h>

#include "platform/http.hpp"
#include "upload/server-url.hpp"

#include <string>

namespace platform {

namespace {

// WinHTTP takes UTF-16 as wchar_t; widen_bytes already made one unit per byte.
std::wstring wide(const std::string &bytes)
{
	const std::u16string units = widen_bytes(bytes);
	return std::wstring(units.begin(), units.end());
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
	explicit operator bool() const { return handle_ != nullptr; }

private:
	HINTERNET handle_;
};

HttpOutcome failure(HttpStage stage, DWORD error)
{
	HttpOutcome outcome;
	outcome.failed_stage = stage;
	outcome.error = static_cast<long>(error);
	return outcome;
}

} // namespace

void http_global_init() {}

HttpOutcome http_post(const HttpPost &request)
{
	// Closed in reverse order of declaration: request, connection, session.
	Handle session(WinHttpOpen(wide(request.user_agent).c_str(), WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
				   WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
	if (!session)
		return failure(HttpStage::Open, GetLastError());

	const HttpTimeouts limits = http_timeouts();
	WinHttpSetTimeouts(session.get(), limits.connect_ms, limits.connect_ms, limits.send_ms, limits.receive_ms);

	// Some WinHTTP builds take an empty name for this machine; no upload may go there unnamed.
	if (request.host.empty())
		return failure(HttpStage::Connect, ERROR_WINHTTP_INVALID_URL);
	Handle connection(WinHttpConnect(session.get(), wide(request.host).c_str(), request.port, 0));
	if (!connection)
		return failure(HttpStage::Connect, GetLastError());

	// The path goes out as given, as on every platform: WinHTTP would otherwise escape what
	// it deems unsafe ('#', blanks, ...). Unescaped, a line break would end the request line
	// early and forge headers, so it is refused.
	if (forges_headers(request))
		return failure(HttpStage::OpenRequest, ERROR_WINHTTP_INVALID_URL);
	const DWORD flags = (request.secure ? WINHTTP_FLAG_SECURE : 0) | WINHTTP_FLAG_ESCAPE_DISABLE |
			    WINHTTP_FLAG_ESCAPE_DISABLE_QUERY;
	Handle req(WinHttpOpenRequest(connection.get(), L"POST", wide(request.path).c_str(), nullptr,
				      WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, flags));
	if (!req)
		return failure(HttpStage::OpenRequest, GetLastError());

	// Without this a server that accepts and never answers holds the thread for good:
	// WinHttpSetTimeouts alone does not bound the wait for the response everywhere.
	DWORD response_ms = static_cast<DWORD>(limits.receive_ms);
	WinHttpSetOption(req.get(), WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &response_ms, sizeof(response_ms));

	if (request.body_length > MAXDWORD)
		return failure(HttpStage::Send, ERROR_INVALID_PARAMETER);
	const DWORD length = static_cast<DWORD>(request.body_length);
	const std::wstring headers = wide(request.header_text);
	if (!WinHttpSendRequest(req.get(), headers.c_str(), static_cast<DWORD>(-1L), const_cast<char *>(request.body),
				length, length, 0))
		return failure(HttpStage::Send, GetLastError());

	HttpOutcome outcome;
	outcome.sent = true;
	WinHttpReceiveResponse(req.get(), nullptr);
	DWORD status = 0;
	DWORD status_size = sizeof(status);
	WinHttpQueryHeaders(req.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
			    WINHTTP_HEADER_NAME_BY_INDEX, &status, &status_size, WINHTTP_NO_HEADER_INDEX);
	outcome.status = status;
	return outcome;
}

} // namespace platform
