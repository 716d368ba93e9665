// SPDX-License-Identifier: GPL-3.0-or-later
// A small HTTP server on loopback that takes multipart uploads, stores the part "file" of
// each in a folder and answers 200. The demo posts to it, and the end-to-end tests check
// what arrived.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace receiver {

struct Upload {
	std::string file_name;   // as the client named it
	std::string stored_path; // where it was kept (empty when it was not stored)
	std::string request_line;
	std::vector<std::string> headers;
	std::vector<uint8_t> content; // the bytes of the part "file"
	bool well_formed = false;     // a multipart body with one part "file"
};

// Sample rate, channels and seconds of a canonical PCM WAV; false if it is not one.
struct WavInfo {
	uint32_t sample_rate = 0;
	uint16_t channels = 0;
	uint16_t bits = 0;
	size_t data_bytes = 0;
	double seconds() const;
};
bool read_wav_info(const std::vector<uint8_t> &bytes, WavInfo &info);

// Splits a multipart/form-data body and returns the part named "file". Exposed for tests.
bool parse_multipart(const std::string &content_type, const std::string &body, std::string &file_name,
		     std::vector<uint8_t> &content);

// Keeps only the last path component and drops anything that could climb out of the folder.
std::string safe_file_name(const std::string &name);

class Receiver {
public:
	// Listens on 127.0.0.1 (port 0: any free one). Files go into store_dir unless it is empty.
	Receiver(std::string store_dir, uint16_t port = 0);
	~Receiver();
	Receiver(const Receiver &) = delete;
	Receiver &operator=(const Receiver &) = delete;

	uint16_t port() const { return port_; }
	std::string url() const;
	// Called on the server's thread once per upload, after it was answered.
	void on_upload(std::function<void(const Upload &)> callback);
	std::vector<Upload> uploads() const;
	// Waits until at least n uploads arrived (read whole, perhaps not yet answered).
	bool wait_for(size_t n, std::chrono::milliseconds timeout) const;
	// Holds each answer back this long after the request was read: an upload in flight.
	void delay_answers(std::chrono::milliseconds delay) { delay_ms_ = delay.count(); }

private:
	void serve();
	void handle(int fd);
	std::string store(const std::string &name, const std::vector<uint8_t> &content);

	std::string store_dir_;
	int listen_fd_ = -1;
	int wake_fds_[2] = {-1, -1};
	uint16_t port_ = 0;
	std::thread thread_;
	mutable std::mutex mutex_;
	mutable std::condition_variable cv_;
	std::vector<Upload> uploads_;
	std::function<void(const Upload &)> callback_;
	std::atomic<long long> delay_ms_{0};
};

} // namespace receiver
