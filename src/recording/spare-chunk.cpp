// SPDX-License-Identifier: GPL-3.0-or-later
#include "recording/spare-chunk.hpp"

#include "platform/memory.hpp"

#include <chrono>
#include <exception>

SpareChunk::~SpareChunk()
{
	if (thread_.joinable()) {
		{
			std::lock_guard<std::mutex> lock(mutex_);
			stop_ = true;
		}
		wake_.notify_one();
		thread_.join();
	}
	platform::free_backed(ready_.exchange(nullptr), bytes_);
}

bool SpareChunk::start() noexcept
{
	if (thread_.joinable())
		return true;
	try {
		thread_ = std::thread([this] { run(); });
		return true;
	} catch (const std::exception &) {
		return false;
	}
}

void *SpareChunk::take() noexcept
{
	void *chunk = ready_.exchange(nullptr);
	if (chunk) {
		// Held by the thread only to test its condition, never while it backs memory.
		std::lock_guard<std::mutex> lock(mutex_);
		wake_.notify_one();
	}
	return chunk;
}

void SpareChunk::run() noexcept
{
	std::unique_lock<std::mutex> lock(mutex_);
	while (!stop_) {
		if (ready_.load()) {
			wake_.wait(lock);
			continue;
		}
		lock.unlock();
		void *chunk = nullptr;
		try {
			chunk = platform::allocate_backed(bytes_);
		} catch (...) {
		}
		lock.lock();
		if (chunk)
			ready_.store(chunk);
		else // out of memory: the audio thread backs its own chunks meanwhile; try again later
			wake_.wait_for(lock, std::chrono::seconds(1));
	}
}
