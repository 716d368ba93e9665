// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <thread>

// One block of backed memory kept ready by a thread of its own. Backing a fresh chunk costs
// about a hundred microseconds of page faults; a recording that crosses into a new chunk
// takes this one instead, and the thread backs the next while the chunk fills (a third of
// a second of stereo audio).
class SpareChunk {
public:
	explicit SpareChunk(size_t bytes) noexcept : bytes_(bytes) {}
	~SpareChunk();
	SpareChunk(const SpareChunk &) = delete;
	SpareChunk &operator=(const SpareChunk &) = delete;

	// Starts the thread, which backs the first chunk at once; false if it cannot start.
	bool start() noexcept;
	// The ready chunk, or null when none is ready; asks for the next. Never waits for memory.
	void *take() noexcept;
	bool ready() const noexcept { return ready_.load() != nullptr; }

private:
	void run() noexcept;

	const size_t bytes_;
	std::atomic<void *> ready_{nullptr};
	std::mutex mutex_;
	std::condition_variable wake_;
	bool stop_ = false;
	std::thread thread_;
};
