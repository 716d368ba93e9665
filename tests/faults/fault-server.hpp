// SPDX-License-Identifier: GPL-3.0-or-later
// A loopback HTTP server that misbehaves on purpose: it resets the connection part-way
// through the body, answers only after a delay, or answers with bytes of its choosing.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace faults {

class FaultServer {
public:
	struct Behaviour {
		enum Kind { ResetMidBody, AnswerLate, Answer } kind = Answer;
		std::chrono::milliseconds delay{0}; // AnswerLate
		std::string answer = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
	};

	// Chooses the behaviour for the n-th connection (from 0).
	using Chooser = std::function<Behaviour(size_t)>;

	explicit FaultServer(Chooser chooser);
	~FaultServer();
	FaultServer(const FaultServer &) = delete;
	FaultServer &operator=(const FaultServer &) = delete;

	int port() const { return port_; }
	std::string url(const std::string &path = "/upload") const;
	// Requests whose body arrived whole, and connections handled in all.
	size_t complete_requests() const { return complete_; }
	size_t connections() const { return connections_; }
	// Complete requests answered with a 2xx status line.
	size_t accepted() const { return accepted_; }
	// Connections still being handled.
	size_t active() const { return active_; }

private:
	void serve();
	void handle(int fd, size_t index);

	Chooser chooser_;
	int listener_ = -1;
	int port_ = 0;
	std::atomic<bool> stopping_{false};
	std::atomic<size_t> complete_{0};
	std::atomic<size_t> connections_{0};
	std::atomic<size_t> accepted_{0};
	std::atomic<size_t> active_{0};
	std::thread thread_;
};

} // namespace faults
