// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "platform/wake-signal.hpp"
#include "recognition/model-cache.hpp"
#include "recording/audio-ring.hpp"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

// Receives the raw JSON text of every Vosk result, on the worker thread, with the ring
// position just past the audio fed to Vosk before that result.
using ResultCallback = std::function<void(const std::string &json, uint64_t position)>;

// Follows one source's audio ring with Vosk on a thread of its own, so recognition never
// runs on OBS's audio thread. The thread sleeps until notified.
class RecognizerWorker final : private ModelWatcher {
public:
	// Frames handed to Vosk at a time: one OBS audio block.
	static constexpr uint32_t piece_frames = 1024;

	// Returns at once: the shared model loads in the background when needed, and audio heard
	// before it is ready is not recognised. Throws std::system_error only when a thread
	// cannot start. The ring must outlive the worker.
	RecognizerWorker(const AudioRing &ring, const std::string &model_path, float sample_rate,
			 ResultCallback on_result);
	// Stops and joins the thread; never waits for a model load.
	~RecognizerWorker();
	RecognizerWorker(const RecognizerWorker &) = delete;
	RecognizerWorker &operator=(const RecognizerWorker &) = delete;

	// From the audio callback after each ring write: never blocks, never allocates.
	void notify() noexcept;
	// Loads the model again if the last load failed; does nothing otherwise.
	void retry_failed_load() noexcept;
	// The model is loaded and recognition follows the ring.
	bool listening() const noexcept { return listening_.load(); }
	// The ring position up to which audio has been fed to Vosk and its results delivered.
	uint64_t position() const noexcept { return position_.load(); }

private:
	void model_settled() noexcept override { notify(); }
	void run() noexcept;
	void follow_model(uint64_t &position);
	void feed(uint64_t &position);
	void recognize(const int16_t *mono, size_t frames, uint64_t position);

	const AudioRing &ring_;
	const std::string model_path_;
	const float sample_rate_;
	const ResultCallback on_result_;
	platform::WakeSignal wake_;
	std::atomic<bool> pending_{false};
	std::atomic<bool> stopping_{false};
	std::atomic<bool> retry_{false};
	std::atomic<bool> listening_{false};
	std::atomic<uint64_t> position_{0};

	// The worker thread's own once it runs.
	std::shared_ptr<SharedModel> model_;
	VoskRecognizer *recognizer_ = nullptr;
	bool failed_ = false;
	bool no_recognizer_ = false;
	bool behind_ = false;
	std::unique_ptr<int16_t[]> frames_;
	std::unique_ptr<int16_t[]> mono_;

	std::thread thread_;
};
