// SPDX-License-Identifier: GPL-3.0-or-later
#include "upload/server-check.hpp"

#include "upload/authorization.hpp"
#include "upload/server-url.hpp"

#include <obs.h>

#include <chrono>

namespace {

ServerCheckFailure failure_of(const platform::HttpOutcome &outcome)
{
	if (outcome.failure == platform::HttpFailure::Cancelled)
		return ServerCheckFailure::Cancelled;
	if (outcome.failure == platform::HttpFailure::BadTarget)
		return ServerCheckFailure::InvalidUrl;
	switch (outcome.no_answer) {
	case platform::HttpNoAnswer::NameNotFound:
		return ServerCheckFailure::NameNotFound;
	case platform::HttpNoAnswer::Refused:
		return ServerCheckFailure::Refused;
	case platform::HttpNoAnswer::TimedOut:
		return ServerCheckFailure::TimedOut;
	case platform::HttpNoAnswer::Certificate:
		return ServerCheckFailure::Certificate;
	case platform::HttpNoAnswer::None:
	case platform::HttpNoAnswer::Other:
		break;
	}
	return ServerCheckFailure::Other;
}

ServerCheckResult check(const TakeServer &server, platform::HttpCancel *cancel, const platform::HttpTimeouts &limits)
{
	ServerCheckResult result;
	// The parser's own line for an empty URL would say the same again.
	if (server.url.empty()) {
		result.failure = ServerCheckFailure::NoUrl;
		return result;
	}
	// Quiet: nothing is being uploaded.
	const auto endpoint = parse_server_url(server.url, false);
	if (!endpoint) {
		result.failure = ServerCheckFailure::InvalidUrl;
		return result;
	}
	const AuthorizationHeader authorization = authorization_header_value(*endpoint, server.access_token);
	if (!authorization.ok) {
		blog(LOG_ERROR, "%s", authorization.refusal.c_str());
		result.failure = ServerCheckFailure::InvalidToken;
		return result;
	}

	platform::HttpPost request;
	request.method = "OPTIONS";
	request.host = endpoint->host;
	request.port = static_cast<uint16_t>(endpoint->port);
	request.path = endpoint->path;
	request.secure = endpoint->secure;
	request.user_agent = "OBS-Brisvane/1.0"; // as uploads: a server may tell clients apart by it
	request.authorization = authorization.value;
	request.cancel = cancel;
	request.timeouts = limits;
	const auto start = std::chrono::steady_clock::now();
	const platform::HttpOutcome outcome = platform::http_post(request);
	const auto elapsed = std::chrono::steady_clock::now() - start;
	result.elapsed_ms =
	    static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count());

	if (outcome.status != 0) {
		result.answered = true;
		result.status = outcome.status;
		result.reason = outcome.reason;
	} else {
		result.failure = failure_of(outcome);
		if (result.failure == ServerCheckFailure::InvalidUrl)
			result.elapsed_ms = 0; // refused before anything went out
	}
	return result;
}

} // namespace

const char *server_check_failure_words(ServerCheckFailure failure)
{
	switch (failure) {
	case ServerCheckFailure::None:
		return "";
	case ServerCheckFailure::NoUrl:
		return "no URL set";
	case ServerCheckFailure::InvalidUrl:
		return "invalid URL";
	case ServerCheckFailure::InvalidToken:
		return "invalid access token";
	case ServerCheckFailure::NameNotFound:
		return "name not found";
	case ServerCheckFailure::Refused:
		return "connection refused";
	case ServerCheckFailure::TimedOut:
		return "timed out";
	case ServerCheckFailure::Certificate:
		return "certificate not trusted";
	case ServerCheckFailure::Cancelled:
		return "cancelled";
	case ServerCheckFailure::Other:
		break;
	}
	return "no answer";
}

platform::HttpTimeouts server_check_limits()
{
	platform::HttpTimeouts limits;
	limits.resolve_ms = 2000;
	limits.connect_ms = 3000;
	limits.send_ms = 2000;
	limits.receive_ms = 2000;
	limits.response_ms = 3000;
	return limits;
}

ServerCheckResult check_server(const TakeServer &server, platform::HttpCancel *cancel,
			       const platform::HttpTimeouts &limits)
{
	ServerCheckResult result;
	try {
		result = check(server, cancel, limits);
	} catch (...) {
		result = ServerCheckResult();
		result.failure = ServerCheckFailure::Other;
	}
	if (result.answered) {
		const std::string reason = result.reason.empty() ? "" : " " + result.reason;
		blog(LOG_INFO, "[Brisvane] Server check: HTTP %u%s in %u ms", unsigned(result.status), reason.c_str(),
		     unsigned(result.elapsed_ms));
	} else {
		blog(LOG_WARNING, "[Brisvane] Server check failed: %s", server_check_failure_words(result.failure));
	}
	return result;
}
