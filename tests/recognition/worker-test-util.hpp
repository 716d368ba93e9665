// SPDX-License-Identifier: GPL-3.0-or-later
// Collects what a RecognizerWorker delivers, from its thread, and feeds its ring.
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
	// words: ask Vosk for word lists throughout.
	explicit Deliveries(bool words = false) : words_(words) {}
	ResultCallback callback()
	{
		return [this](const RecognitionResult &heard) {
			std::lock_guard<std::mutex> lock(mutex_);
			texts_.push_back((heard.final ? "final: " : "partial: ") + heard.text);
			positions_.push_back(heard.position);
			threads_.push_back(std::this_thread::get_id());
			if (heard.final && !heard.words.empty())
				final_words_.push_back(heard.words);
			cv_.notify_all();
			return words_;
		};
	}
	// Each result as "final: <text>" or "partial: <text>".
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
	std::vector<uint64_t> positions()
	{
		std::lock_guard<std::mutex> lock(mutex_);
		return positions_;
	}
	// The word places of every final result that had them.
	std::vector<std::vector<HeardWord>> final_words()
	{
		std::lock_guard<std::mutex> lock(mutex_);
		return final_words_;
	}
	std::vector<std::thread::id> threads()
	{
		std::lock_guard<std::mutex> lock(mutex_);
		return threads_;
	}

private:
	const bool words_;
	std::vector<std::vector<HeardWord>> final_words_;
	std::mutex mutex_;
	std::condition_variable cv_;
	std::vector<std::string> texts_;
	std::vector<uint64_t> positions_;
	std::vector<std::thread::id> threads_;
};

// Polls cond until it holds; the generous limit only stops a hung test.
template<typename Cond> bool eventually(Cond cond)
{
	for (int i = 0; i < 60000; ++i) {
		if (cond())
			return true;
		std::this_thread::sleep_for(std::chrono::milliseconds(1));
	}
	return cond();
}

// Writes mono samples to both channels of the ring, as the capture callback would, and wakes
// the worker.
inline void write_mono(AudioRing &ring, RecognizerWorker &worker, const std::vector<int16_t> &mono)
{
	std::vector<int16_t> frames(mono.size() * ring.channels());
	for (size_t j = 0; j < mono.size(); ++j)
		for (uint16_t c = 0; c < ring.channels(); ++c)
			frames[j * ring.channels() + c] = mono[j];
	ring.write(frames.data(), uint32_t(mono.size()));
	worker.notify();
}
