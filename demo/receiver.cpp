// SPDX-License-Identifier: GPL-3.0-or-later
#include "receiver.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>

namespace receiver {

namespace {

uint32_t le32(const uint8_t *p)
{
	return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

uint16_t le16(const uint8_t *p)
{
	return uint16_t(p[0] | p[1] << 8);
}

std::string lower(std::string s)
{
	std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return char(std::tolower(c)); });
	return s;
}

// Value of a parameter such as boundary=... or filename="...", quotes removed.
std::string header_param(const std::string &header, const std::string &name)
{
	std::string low = lower(header);
	size_t at = 0;
	while ((at = low.find(name + "=", at)) != std::string::npos) {
		if (at == 0 || low[at - 1] == ' ' || low[at - 1] == ';' || low[at - 1] == '\t')
			break;
		at += name.size();
	}
	if (at == std::string::npos)
		return {};
	size_t start = at + name.size() + 1;
	if (start < header.size() && header[start] == '"') {
		size_t end = header.find('"', start + 1);
		return header.substr(start + 1, end == std::string::npos ? std::string::npos : end - start - 1);
	}
	size_t end = header.find_first_of("; \t\r\n", start);
	return header.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

bool send_all(int fd, const std::string &data)
{
	size_t done = 0;
	while (done < data.size()) {
		ssize_t n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
		if (n <= 0)
			return false;
		done += size_t(n);
	}
	return true;
}

} // namespace

double WavInfo::seconds() const
{
	uint32_t frame_bytes = uint32_t(channels) * (bits / 8u);
	return sample_rate && frame_bytes ? double(data_bytes) / frame_bytes / sample_rate : 0.0;
}

bool read_wav_info(const std::vector<uint8_t> &bytes, WavInfo &info)
{
	if (bytes.size() < 44 || memcmp(bytes.data(), "RIFF", 4) != 0 || memcmp(bytes.data() + 8, "WAVE", 4) != 0 ||
	    memcmp(bytes.data() + 12, "fmt ", 4) != 0 || memcmp(bytes.data() + 36, "data", 4) != 0)
		return false;
	info.channels = le16(bytes.data() + 22);
	info.sample_rate = le32(bytes.data() + 24);
	info.bits = le16(bytes.data() + 34);
	info.data_bytes = le32(bytes.data() + 40);
	return le16(bytes.data() + 20) == 1 && info.data_bytes == bytes.size() - 44;
}

bool parse_multipart(const std::string &content_type, const std::string &body, std::string &file_name,
		     std::vector<uint8_t> &content)
{
	if (lower(content_type).rfind("multipart/form-data", 0) != 0)
		return false;
	std::string boundary = header_param(content_type, "boundary");
	if (boundary.empty())
		return false;
	const std::string open = "--" + boundary + "\r\n";
	const std::string close = "\r\n--" + boundary;
	if (body.compare(0, open.size(), open) != 0)
		return false;
	size_t head_end = body.find("\r\n\r\n", open.size());
	if (head_end == std::string::npos)
		return false;
	std::string part_head = body.substr(open.size(), head_end - open.size());
	size_t data_start = head_end + 4;
	size_t data_end = body.find(close, data_start);
	if (data_end == std::string::npos || body.compare(data_end + close.size(), 4, "--\r\n") != 0 ||
	    data_end + close.size() + 4 != body.size())
		return false;
	if (header_param(part_head, "name") != "file")
		return false;
	file_name = header_param(part_head, "filename");
	content.assign(body.begin() + std::ptrdiff_t(data_start), body.begin() + std::ptrdiff_t(data_end));
	return true;
}

std::string safe_file_name(const std::string &name)
{
	size_t slash = name.find_last_of("/\\");
	std::string base = slash == std::string::npos ? name : name.substr(slash + 1);
	base.erase(std::remove_if(base.begin(), base.end(), [](unsigned char c) { return c < 0x20 || c == 0x7f; }),
		   base.end());
	if (base.empty() || base == "." || base == "..")
		return "upload.bin";
	return base;
}

Receiver::Receiver(std::string store_dir, uint16_t port) : store_dir_(std::move(store_dir))
{
	listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
	if (listen_fd_ < 0)
		throw std::runtime_error("receiver: socket failed");
	int one = 1;
	setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
	sockaddr_in addr = {};
	addr.sin_family = AF_INET;
	addr.sin_port = htons(port);
	addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	socklen_t len = sizeof(addr);
	if (::bind(listen_fd_, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0 ||
	    ::listen(listen_fd_, 16) != 0 ||
	    ::getsockname(listen_fd_, reinterpret_cast<sockaddr *>(&addr), &len) != 0 || ::pipe(wake_fds_) != 0) {
		::close(listen_fd_);
		throw std::runtime_error("receiver: cannot listen on 127.0.0.1:" + std::to_string(port) + ": " +
					 strerror(errno));
	}
	port_ = ntohs(addr.sin_port);
	thread_ = std::thread([this] { serve(); });
}

Receiver::~Receiver()
{
	char byte = 0;
	if (::write(wake_fds_[1], &byte, 1) < 0) {
		// The pipe cannot be full; nothing to do if it failed anyway.
	}
	thread_.join();
	::close(listen_fd_);
	::close(wake_fds_[0]);
	::close(wake_fds_[1]);
}

std::string Receiver::url() const
{
	return "http://127.0.0.1:" + std::to_string(port_) + "/upload";
}

void Receiver::on_upload(std::function<void(const Upload &)> callback)
{
	std::lock_guard<std::mutex> lock(mutex_);
	callback_ = std::move(callback);
}

std::vector<Upload> Receiver::uploads() const
{
	std::lock_guard<std::mutex> lock(mutex_);
	return uploads_;
}

bool Receiver::wait_for(size_t n, std::chrono::milliseconds timeout) const
{
	std::unique_lock<std::mutex> lock(mutex_);
	return cv_.wait_for(lock, timeout, [&] { return uploads_.size() >= n; });
}

void Receiver::serve()
{
	for (;;) {
		pollfd fds[2] = {{listen_fd_, POLLIN, 0}, {wake_fds_[0], POLLIN, 0}};
		if (::poll(fds, 2, -1) < 0) {
			if (errno == EINTR)
				continue;
			return;
		}
		if (fds[1].revents)
			return;
		int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
		if (fd < 0)
			continue;
		// A client that stalls must not hold the others up for long.
		timeval tv = {10, 0};
		setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
		handle(fd);
		::close(fd);
	}
}

void Receiver::handle(int fd)
{
	std::string data;
	char buffer[65536];
	size_t head_end = std::string::npos;
	while ((head_end = data.find("\r\n\r\n")) == std::string::npos) {
		ssize_t n = ::recv(fd, buffer, sizeof(buffer), 0);
		if (n <= 0 || data.size() > (1u << 20))
			return;
		data.append(buffer, size_t(n));
	}

	Upload upload;
	std::string head = data.substr(0, head_end);
	size_t line_end = head.find("\r\n");
	upload.request_line = head.substr(0, line_end);
	size_t content_length = 0;
	std::string content_type;
	bool expect_continue = false;
	for (size_t at = line_end; at != std::string::npos && at < head.size();) {
		size_t next = head.find("\r\n", at + 2);
		std::string line = head.substr(at + 2, next == std::string::npos ? std::string::npos : next - at - 2);
		upload.headers.push_back(line);
		std::string low = lower(line);
		size_t colon = line.find(':');
		std::string value =
		    colon == std::string::npos ? "" : line.substr(line.find_first_not_of(" \t", colon + 1));
		if (low.rfind("content-length:", 0) == 0)
			content_length = std::strtoul(value.c_str(), nullptr, 10);
		else if (low.rfind("content-type:", 0) == 0)
			content_type = value;
		else if (low.rfind("expect:", 0) == 0 && lower(value) == "100-continue")
			expect_continue = true;
		at = next;
	}

	std::string body = data.substr(head_end + 4);
	if (expect_continue && body.size() < content_length && !send_all(fd, "HTTP/1.1 100 Continue\r\n\r\n"))
		return;
	while (body.size() < content_length) {
		ssize_t n = ::recv(fd, buffer, std::min(sizeof(buffer), content_length - body.size()), 0);
		if (n <= 0)
			return;
		body.append(buffer, size_t(n));
	}

	upload.well_formed = parse_multipart(content_type, body, upload.file_name, upload.content);
	if (upload.well_formed && !store_dir_.empty())
		upload.stored_path = store(safe_file_name(upload.file_name), upload.content);
	const bool ok = upload.well_formed && (store_dir_.empty() || !upload.stored_path.empty());
	std::function<void(const Upload &)> callback;
	{
		std::lock_guard<std::mutex> lock(mutex_);
		uploads_.push_back(upload);
		callback = callback_;
	}
	cv_.notify_all();
	std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms_.load()));
	send_all(fd, ok ? "HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n"
			: "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
	if (callback)
		callback(upload);
}

std::string Receiver::store(const std::string &name, const std::vector<uint8_t> &content)
{
	mkdir(store_dir_.c_str(), 0755);
	// Two takes saved within one second share a name; keep both.
	std::string path = store_dir_ + "/" + name;
	for (int i = 1; access(path.c_str(), F_OK) == 0; ++i)
		path = store_dir_ + "/" + std::to_string(i) + "-" + name;
	std::ofstream out(path, std::ios::binary);
	out.write(reinterpret_cast<const char *>(content.data()), std::streamsize(content.size()));
	out.close();
	return out ? path : std::string();
}

} // namespace receiver
