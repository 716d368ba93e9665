// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "audio/audio-ring.hpp"
#include "platform/wake-signal.hpp"
#include "recognition/model-cache.hpp"
#include "recognition/recognition-result.hpp"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

// Receives every Vosk result on the worker thread; answers whether Vosk should give word lists
// with the next results (they cost decoding time, so only while a keyword is in the utterance).
using ResultCallback = std::function<bool(const RecognitionResult &result)>;

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
	enum class ModelState { Loading, Ready, Failed };
	ModelState model_state() const noexcept { return model_state_.load(); }
	// The ring position up to which audio has been fed to Vosk and its results delivered.
	uint64_t position() const noexcept { return position_.load(); }
	// The two above as flags, for readers that cannot call into this code.
	const std::atomic<bool> &listening_flag() const noexcept { return listening_; }
	const std::atomic<uint64_t> &position_flag() const noexcept { return position_; }

private:
	void model_settled() noexcept override { notify(); }
	void run() noexcept;
	void follow_model(uint64_t &position);
	void feed(uint64_t &position);
	void recognize(const int16_t *mono, size_t frames, uint64_t position);
	// Ends the utterance before audio is skipped, so no word spans the gap.
	void close_utterance(uint64_t position);
	void deliver(const char *json, bool final, uint64_t position);

	const AudioRing &ring_;
	const std::string model_path_;
	const float sample_rate_;
	const ResultCallback on_result_;
	platform::WakeSignal wake_;
	std::atomic<bool> pending_{false};
	std::atomic<bool> stopping_{false};
	std::atomic<bool> retry_{false};
	std::atomic<bool> listening_{false};
	std::atomic<ModelState> model_state_{ModelState::Loading};
	std::atomic<uint64_t> position_{0};

	// The worker thread's own once it runs.
	std::shared_ptr<SharedModel> model_;
	VoskRecognizer *recognizer_ = nullptr;
	bool failed_ = false;
	bool no_recognizer_ = false;
	bool behind_ = false;
	bool words_ = false; // word lists asked for
	bool open_ = false;  // audio fed since the last final result
	uint64_t fed_ = 0;   // frames fed to the recogniser
	FeedClock clock_;
	RecognitionResult result_; // reused for every result
	std::unique_ptr<int16_t[]> frames_;
	std::unique_ptr<int16_t[]> mono_;

	std::thread thread_;
};
