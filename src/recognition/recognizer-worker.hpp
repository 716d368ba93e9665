// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "recognition/vosk-api.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Mono 16-bit samples of one captured block, at the host's output rate.
using AudioChunk = std::vector<int16_t>;

// Receives the raw JSON text of every Vosk result, on the worker thread.
using ResultCallback = std::function<void(const std::string &text)>;

// Owns the Vosk model and recogniser and feeds them queued audio on a thread of its own,
// so recognition never runs on OBS's audio thread.
class RecognizerWorker {
public:
	// A model that does not load leaves the worker inert (logged, no thread). A thread that
	// cannot start throws std::system_error, with Vosk already freed.
	RecognizerWorker(const std::string &model_path, float sample_rate);
	~RecognizerWorker();
	RecognizerWorker(const RecognizerWorker &) = delete;
	RecognizerWorker &operator=(const RecognizerWorker &) = delete;

	// Called from the audio thread with the instance's mutex held. Moving the chunk in
	// spares a copy of its samples.
	void push_audio(const AudioChunk &chunk);
	void push_audio(AudioChunk &&chunk);
	// Both Vosk handles exist: only then may audio be pushed.
	bool ready() const { return model != nullptr && recognizer != nullptr; }

	VoskModel *model = nullptr;
	VoskRecognizer *recognizer = nullptr;
	float sample_rate = 0.0f;
	std::deque<AudioChunk> queue;
	std::mutex queue_mutex;
	std::thread thread;
	std::atomic<bool> running{false};
	ResultCallback on_result;

private:
	void recognition_worker_loop();
	bool take_chunk(AudioChunk &out);
	void recognize(const AudioChunk &chunk);
	void release_vosk() noexcept;
};
