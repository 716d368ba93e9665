// SPDX-License-Identifier: GPL-3.0-or-later
// Everything one source does with what it hears: its recent audio, the recogniser that follows
// it, the decisions where takes start and end, and a thread of the source's own that writes
// the takes to disk, plays the notification sounds, logs the take's lines and hands finished
// takes to the upload.
//
// The host's threads only hand over and mark: the audio thread converts a block into the ring
// (and times silence), the hotkey and the recogniser's results decide under a lock held for a
// few field updates and one copy into a preallocated queue. Nothing here allocates, logs or
// touches a file on the audio thread.
#pragma once

#include "audio/audio-ring.hpp"
#include "takes/take-decisions.hpp"
#include "recording/take-writer.hpp"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class RecognizerWorker;

class TakePipeline final {
public:
	struct Sounds {
		void (*start)() = nullptr;
		void (*stop)() = nullptr;
	};
	// Frames one audio_block call takes at most.
	static constexpr uint32_t block_frames = 4096;

	// Keeps the last `ring_seconds` of audio and starts the source's thread; throws
	// std::system_error when it cannot, std::bad_alloc without memory.
	TakePipeline(uint16_t channels, uint32_t sample_rate, Sounds sounds, uint32_t ring_seconds = 30);
	// Ends a running take as a hotkey stop without the stop sound, finishes it and joins.
	~TakePipeline();
	TakePipeline(const TakePipeline &) = delete;
	TakePipeline &operator=(const TakePipeline &) = delete;

	// Loads the speech library on the first call; false (after one line in the log) without it.
	static bool speech_library_available();
	// Follows the audio with the speech model in model_path (loaded in the background). When
	// no thread can be started the source goes on without recognition, and says so.
	void start_recognition(const std::string &model_path);
	// A model that failed to load is tried again.
	void retry_failed_model_load() noexcept;
	// Recognition was started (its model may still be loading).
	bool has_recognizer() const noexcept { return recognizer_ != nullptr; }
	// Where the speech model stands: Off when recognition was never started.
	enum class Speech { Off, Loading, Ready, Failed };
	Speech speech() const noexcept;
	// The model is loaded and recognition follows the audio. Inline, like wait_idle, so
	// programs that only share this header with the module can call it.
	bool listening() const noexcept { return listening_ && listening_->load(); }
	// Ring position up to which the recogniser has heard the audio and handed its results.
	uint64_t recognized_position() const noexcept { return recognized_ ? recognized_->load() : 0; }

	// Audio thread: one block of the listened source, planar float (null planes are silence).
	void audio_block(const float *const *planes, size_t max_planes, uint32_t frames) noexcept;
	// The hotkey: starts a take at the audio received so far, or ends the running one there.
	void hotkey_pressed(uint32_t sample_rate) noexcept;
	// One result of the recogniser (its thread, or a test); returns whether word lists are
	// wanted for the next results.
	bool recognition_result(const RecognitionResult &heard) noexcept;

	void set_keywords(const std::string &start_keywords, const std::string &stop_keywords);
	void set_silence_stop(bool enabled, float threshold_db, int32_t duration_ms) noexcept;
	// The server the running and the next takes are for; a take whose stop was decided keeps
	// the one set then.
	void set_server(const TakeServer &server);

	// A take is running, as last decided (the hotkey picks start or stop by it).
	bool recording() const noexcept { return recording_.load(std::memory_order_acquire); }
	// The source's recent audio (tests and benchmarks write to it directly).
	AudioRing &ring() noexcept { return ring_; }
	// Tests and benchmarks: waits until every event so far has been handled and every take
	// whose boundaries have settled is finished.
	void wait_idle()
	{
		std::unique_lock<std::mutex> lock(mutex_);
		const uint64_t target = changes_;
		idle_.wait(lock, [&] { return done_ >= target && (queue_size_ == 0 || quit_); });
	}

private:
	using Url = std::shared_ptr<const TakeServer>;
	struct Queued {
		TakeEvent event;
		std::string keyword; // reserved ahead, so a keyword is copied in without allocating
		// A stop's server. Moved out when the event is taken, so a post never frees one.
		Url url;
	};
	// The source's thread's view of a take, from its start event on.
	struct Take {
		uint64_t id = 0;
		uint32_t sample_rate = 0;
		int64_t started_seconds = 0;
		bool stopped = false;
		StopCause cause = StopCause::Hotkey;
		Url url; // from its stop on
	};

	// The decisions' events go into the queue. A member rather than a base: a class with a
	// vtable would need its type information in programs that only share this header.
	struct Queue final : TakeEventSink {
		explicit Queue(TakePipeline &owner) : owner_(owner) {}
		bool post(const TakeEvent &event) noexcept override;
		TakePipeline &owner_;
	};
	bool post(const TakeEvent &event) noexcept;
	void changed_locked() noexcept;
	void silence_block(uint64_t position, float level_db) noexcept;

	void run() noexcept;
	void handle(const Queued &queued);
	void work(bool quitting);
	void finish_take(const Take &take, uint64_t end);
	TakeServer server();

	AudioRing ring_;
	const uint32_t sample_rate_;
	const Sounds sounds_;
	std::unique_ptr<int16_t[]> block_; // audio-thread scratch
	std::unique_ptr<RecognizerWorker> recognizer_;
	const std::atomic<bool> *listening_ = nullptr; // the recogniser's own flags
	const std::atomic<uint64_t> *recognized_ = nullptr;

	// Decisions and the queue: held by whoever decides for a few field updates and one copy.
	mutable std::mutex mutex_;
	Queue sink_{*this};
	std::condition_variable wake_;
	std::condition_variable idle_;
	TakeDecisions decisions_;
	std::atomic<bool> recording_{false};
	uint64_t posted_ = 0; // events queued so far
	// The keyword lists, read by the recogniser's thread; never taken with mutex_.
	std::mutex keywords_mutex_;
	std::string start_keywords_, stop_keywords_;
	std::vector<Queued> queue_; // a ring of preallocated events
	size_t queue_head_ = 0, queue_size_ = 0;
	uint64_t changes_ = 0, done_ = 0; // decisions made, and those the thread has acted on
	uint64_t dropped_ = 0;
	bool quit_ = false;
	// The source is going away: what is still queued is finished and logged, but its sounds
	// would only play after the source is gone.
	std::atomic<bool> going_{false};

	std::atomic<bool> silence_stop_{false};
	std::atomic<float> silence_threshold_db_{-40.0f};
	std::atomic<int32_t> silence_duration_ms_{2000};
	const uint64_t wake_frames_;
	uint64_t last_wake_ = 0; // audio thread only

	// Held only to swap or copy the pointer: the audio thread copies it when silence ends a take.
	std::mutex url_mutex_;
	Url url_;
	bool url_changed_ = false;

	// The source's thread's own.
	std::deque<Take> takes_;
	TakeWriter writer_;
	uint64_t dropped_logged_ = 0;

	std::thread thread_;
};
