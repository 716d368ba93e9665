// SPDX-License-Identifier: GPL-3.0-or-later
// One request that asks a server whether it is there and lets us in, storing nothing: an
// OPTIONS to the upload's own target, with the upload's User-Agent and Authorization.
#pragma once

#include "platform/http.hpp"
#include "store/take-record.hpp"

#include <cstdint>
#include <string>

enum class ServerCheckFailure {
	None,         // the server answered, whatever its status
	NoUrl,        // no URL is set
	InvalidUrl,   // the URL does not parse, or names no host a request can go to
	InvalidToken, // the access token cannot go out as a header
	NameNotFound, // the host's name did not resolve
	Refused,      // nothing accepted the connection
	TimedOut,     // no answer within the check's limits
	Certificate,  // the server's certificate is not trusted
	Cancelled,    // cut short through the HttpCancel
	Other,        // the connection broke or ended without a status line
};

struct ServerCheckResult {
	bool answered = false;   // a status line came back
	uint32_t status = 0;     // 0 unless answered
	std::string reason;      // the status line's reason phrase, printable ASCII; may be empty
	uint32_t elapsed_ms = 0; // the exchange alone, from the first lookup to its end; 0 if none
	ServerCheckFailure failure = ServerCheckFailure::None; // None exactly when answered
};

// The failure in the words the log line uses ("connection refused"); "" for None.
const char *server_check_failure_words(ServerCheckFailure failure);

// A check's limits, each step's own, adding up to 10 s as WinHTTP spends them one after
// another (resolve, connect, send, answer); libcurl counts resolving within connecting.
platform::HttpTimeouts server_check_limits();

// Blocks for the one exchange; callable from any thread at once, never throws. Logs exactly one
// line of its own ("[Brisvane] Server check: HTTP 204 No Content in 12 ms", or "[Brisvane]
// Server check failed: connection refused"), after the parser's or the token's own refusal
// line when there is one; never a secret.
ServerCheckResult check_server(const TakeServer &server, platform::HttpCancel *cancel = nullptr,
			       const platform::HttpTimeouts &limits = server_check_limits());
