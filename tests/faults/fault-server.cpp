// SPDX-License-Identifier: GPL-3.0-or-later
#include "fault-server.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>
#include <strings.h>
#include <vector>

namespace faults {

namespace {

// Reads until the head is complete; returns the head's length, or 0 if the peer left.
size_t read_head(int fd, std::string &data)
{
	char chunk[65536];
	for (;;) {
		const size_t end = data.find("\r\n\r\n");
		if (end != std::string::npos)
			return end + 4;
		const ssize_t n = recv(fd, chunk, sizeof(chunk), 0);
		if (n <= 0)
			return 0;
		data.append(chunk, size_t(n));
	}
}

size_t content_length(const std::string &head)
{
	size_t at = 0;
	while ((at = head.find("\r\n", at)) != std::string::npos) {
		at += 2;
		if (strncasecmp(head.c_str() + at, "Content-Length:", 15) == 0)
			return size_t(std::strtoull(head.c_str() + at + 15, nullptr, 10));
	}
	return 0;
}

// Reads body bytes until `want` of them are in; false if the peer left first.
bool read_body(int fd, std::string &data, size_t head, size_t want)
{
	char chunk[65536];
	while (data.size() - head < want) {
		const ssize_t n = recv(fd, chunk, sizeof(chunk), 0);
		if (n <= 0)
			return false;
		data.append(chunk, size_t(n));
	}
	return true;
}

void send_all(int fd, const std::string &bytes)
{
	size_t sent = 0;
	while (sent < bytes.size()) {
		const ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
		if (n <= 0)
			return;
		sent += size_t(n);
	}
}

} // namespace

FaultServer::FaultServer(Chooser chooser) : chooser_(std::move(chooser))
{
	listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
	sockaddr_in address = {};
	address.sin_family = AF_INET;
	address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	socklen_t length = sizeof(address);
	if (listener_ < 0 || bind(listener_, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0 ||
	    listen(listener_, 64) != 0 || getsockname(listener_, reinterpret_cast<sockaddr *>(&address), &length) != 0)
		throw std::runtime_error("fault server: cannot listen");
	port_ = ntohs(address.sin_port);
	thread_ = std::thread([this] { serve(); });
}

FaultServer::~FaultServer()
{
	stopping_ = true;
	thread_.join();
	close(listener_);
}

std::string FaultServer::url(const std::string &path) const
{
	return "http://127.0.0.1:" + std::to_string(port_) + path;
}

void FaultServer::serve()
{
	while (!stopping_) {
		pollfd p = {listener_, POLLIN, 0};
		if (poll(&p, 1, 50) <= 0)
			continue;
		const int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
		if (fd < 0)
			continue;
		const size_t index = connections_++;
		// Detached, so a long run does not pile up finished threads; counted instead.
		++active_;
		std::thread([this, fd, index] {
			handle(fd, index);
			--active_;
		}).detach();
	}
	while (active_ > 0)
		std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

void FaultServer::handle(int fd, size_t index)
{
	const Behaviour behaviour = chooser_(index);
	std::string data;
	const size_t head = read_head(fd, data);
	if (head == 0) {
		close(fd);
		return;
	}
	const size_t length = content_length(data.substr(0, head));
	if (behaviour.kind == Behaviour::ResetMidBody) {
		read_body(fd, data, head, length / 2);
		// A zero linger turns close into a reset, as a crashing server's kernel would.
		linger hard = {1, 0};
		setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof(hard));
		close(fd);
		return;
	}
	const bool complete = read_body(fd, data, head, length);
	if (complete)
		++complete_;
	if (behaviour.kind == Behaviour::AnswerLate) {
		const auto until = std::chrono::steady_clock::now() + behaviour.delay;
		while (!stopping_ && std::chrono::steady_clock::now() < until)
			std::this_thread::sleep_for(std::chrono::milliseconds(10));
	}
	// Counted before the answer goes out: the client may act on it (and a test look) at once.
	if (complete && behaviour.answer.rfind("HTTP/1.1 2", 0) == 0)
		++accepted_;
	send_all(fd, behaviour.answer);
	shutdown(fd, SHUT_WR);
	char sink[4096];
	pollfd p = {fd, POLLIN, 0};
	while (poll(&p, 1, 1000) > 0 && recv(fd, sink, sizeof(sink), 0) > 0) {
	}
	close(fd);
}

} // namespace faults
