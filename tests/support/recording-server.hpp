// SPDX-License-Identifier: GPL-3.0-or-later
// Drives tests/support/recording-server.py: a loopback HTTP(S) server that stores the raw
// bytes of every request in a state folder and answers with a chosen status, or never.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace testserver {

class RecordingServer {
public:
	// Starts the server on an ephemeral 127.0.0.1 port in a fresh state folder; stops and
	// removes it on destruction. Throws when it does not come up. With
	// BRISVANE_RECORDING_SERVERS naming a folder of servers started with --pool, takes a free
	// one of those instead (cleared, answering 200) and hands it back on destruction.
	static std::unique_ptr<RecordingServer> start(bool tls = false);
	// Not with a pool: listening on a chosen port (where a client found nothing before),
	// answering in a mode from its first request on, or storing only each request's head (for
	// bodies too large to keep).
	struct Options {
		int port = 0;
		std::string mode;
		bool heads_only = false;
	};
	static std::unique_ptr<RecordingServer> start(const Options &options);
	// Uses a server that someone else started on the given state folder (a test fixture).
	static std::unique_ptr<RecordingServer> attach(const std::string &state_dir);
	~RecordingServer();
	RecordingServer(const RecordingServer &) = delete;
	RecordingServer &operator=(const RecordingServer &) = delete;

	int port() const { return port_; }
	bool tls() const { return tls_; }
	// "http://127.0.0.1:<port>" + path (https for a TLS server).
	std::string url(const std::string &path = "/") const;
	// Whether the same server also listens on [::1], on the same port.
	bool listens_on_ipv6() const;

	// The PEM file of a TLS server's self-signed certificate (valid for 127.0.0.1 only).
	std::string certificate() const { return dir_ + "/cert.pem"; }

	// Status of the following answers ("200", "404", ...), or "silent" for none at all.
	void set_mode(const std::string &mode);
	// Raw bytes of every request received so far, in arrival order.
	std::vector<std::string> requests() const;
	bool wait_for_requests(size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
	// OpenSSL's reason for each failed TLS handshake, e.g. the alert of a client that
	// refused the certificate; waits up to the timeout for at least one.
	std::vector<std::string> tls_errors(std::chrono::milliseconds timeout = std::chrono::seconds(5)) const;
	// Forgets what was received so far.
	void clear();

private:
	RecordingServer() = default;
	static std::unique_ptr<RecordingServer> start_with(bool tls, const Options &options);
	std::string dir_;
	int port_ = 0;
	bool tls_ = false;
	bool owned_ = false;
	bool pooled_ = false;
	long pid_ = 0;
};

// A port on 127.0.0.1 where nothing listens (bound once, then released).
int unused_port();

// One request split at its parts, for comparing with what the upload should send.
struct ParsedRequest {
	std::string request_line;
	std::vector<std::pair<std::string, std::string>> headers; // as received, in order
	std::string body;
	// Value of the one header of that name (case-insensitive); empty when absent.
	std::string header(const std::string &name) const;
	size_t header_count(const std::string &name) const;
};
ParsedRequest parse_request(const std::string &raw);

} // namespace testserver
