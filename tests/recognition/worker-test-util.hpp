// SPDX-License-Identifier: GPL-3.0-or-later
// Collects what a RecognizerWorker delivers, from its thread.
#pragma once

#include "recognition/recognizer-worker.hpp"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class Deliveries {
public:
	ResultCallback callback()
	{
		return [this](const std::string &text) {
			std::lock_guard<std::mutex> lock(mutex_);
			texts_.push_back(text);
			threads_.push_back(std::this_thread::get_id());
			cv_.notify_all();
		};
	}
	// Waits for at least n deliveries; the generous limit only stops a hung test.
	bool wait_for(size_t n)
	{
		std::unique_lock<std::mutex> lock(mutex_);
		return cv_.wait_for(lock, std::chrono::seconds(60), [&] { return texts_.size() >= n; });
	}
	std::vector<std::string> texts()
	{
		std::lock_guard<std::mutex> lock(mutex_);
		return texts_;
	}
	std::vector<std::thread::id> threads()
	{
		std::lock_guard<std::mutex> lock(mutex_);
		return threads_;
	}

private:
	std::mutex mutex_;
	std::condition_variable cv_;
	std::vector<std::string> texts_;
	std::vector<std::thread::id> threads_;
};
