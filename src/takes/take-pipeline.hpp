// SPDX-License-Identifier: GPL-3.0-or-later
// The takes of one source: where each starts and ends in its audio, and a thread of the
// source's own that writes them to disk, plays the notification sounds, logs the take's lines
// and hands finished takes to the upload.
//
// The host's threads only mark positions: the hotkey (UI thread), a keyword result (the
// recogniser's thread) and silence (the audio thread) each decide under a lock held for a few
// field updates and one copy into a preallocated queue, and return. Nothing here allocates,
// logs or touches a file on the audio thread.
#pragma once

#include "recording/audio-ring.hpp"
#include "recording/take-file.hpp"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

enum class StopCause { Hotkey, Keyword, Silence, Destroy };

class TakePipeline {
public:
	struct Sounds {
		void (*start)() = nullptr;
		void (*stop)() = nullptr;
	};

	// Starts the source's thread; throws std::system_error when it cannot. `ring` outlives this.
	TakePipeline(const AudioRing &ring, Sounds sounds);
	// Ends a running take as a hotkey stop without the stop sound, finishes it and joins.
	~TakePipeline();
	TakePipeline(const TakePipeline &) = delete;
	TakePipeline &operator=(const TakePipeline &) = delete;

	// A take is running, as last decided (the hotkey picks start or stop by it).
	bool recording() const noexcept { return recording_.load(std::memory_order_acquire); }

	// The hotkey: starts a take at the audio received so far, or ends the running one there.
	void hotkey_pressed(uint32_t sample_rate) noexcept;
	// A start keyword heard in the audio before `position`: starts a take there when idle
	// (never before the end of the previous take).
	void keyword_start(const std::string &keyword, uint64_t position, uint32_t sample_rate) noexcept;
	// A stop keyword heard before `position`: ends the running take there if that lies after
	// its start; the detection is logged either way.
	void keyword_stop(const std::string &keyword, uint64_t position) noexcept;
	// Audio thread, for a block starting at `position` whose level was measured: runs the
	// silence timer and ends the take before this block once the stretch is long enough.
	// Call only while recording() and silence stop is enabled.
	void silence_block(uint64_t position, float level_db, float threshold_db, int32_t duration_ms) noexcept;

	// Audio thread, after each block went into the ring: wakes the writer about once a second
	// of audio, so audio pushed faster than real time cannot outrun it.
	void audio_written(uint64_t end) noexcept
	{
		if (end - last_wake_ >= wake_frames_ && recording()) {
			last_wake_ = end;
			wake_.notify_one();
		}
	}

	// Settings: the server the running and the next takes are for.
	void set_server_url(const std::string &url);
	// Tests and benchmarks: waits until every event posted so far has been handled (a stop
	// included: its file is then finished). Inline, so programs that only share this header
	// with the module can call it.
	void wait_idle()
	{
		std::unique_lock<std::mutex> lock(mutex_);
		const uint64_t target = posted_;
		idle_.wait(lock, [&] { return handled_ >= target; });
	}

private:
	enum class Kind : uint8_t { Start, Stop, StopIgnored, ServerChanged };
	struct Event {
		Kind kind = Kind::Start;
		StopCause cause = StopCause::Hotkey;
		bool by_keyword = false;
		uint64_t position = 0;
		uint32_t sample_rate = 0;
		float level_db = 0.0f;
		std::string keyword; // reserved ahead, so a keyword is copied in without allocating
	};

	// Caller holds mutex_. False (and counted) when the queue is full.
	Event *push_locked();
	void post_start_locked(uint64_t position, uint32_t sample_rate, const std::string *keyword);
	void post_stop_locked(uint64_t position, StopCause cause, const std::string *keyword, float level_db);
	void notify() noexcept;

	void run() noexcept;
	void handle(const Event &event);
	void begin_take(const Event &event);
	void end_take(const Event &event);
	// Writes the ring's audio from the take's read position up to `until` (and no further
	// than what the ring holds); brings the header up to date at least once a second.
	void pump(uint64_t until, bool force_header);
	void open_file_if_needed();
	std::string server_url();

	const AudioRing &ring_;
	const Sounds sounds_;

	// Decisions: held by whoever posts for a few field updates and one copy.
	std::mutex mutex_;
	std::condition_variable wake_;
	std::condition_variable idle_;
	std::atomic<bool> recording_{false};
	uint64_t start_position_ = 0; // of the running take
	uint64_t floor_position_ = 0; // end of the last take: the next never starts before it
	uint64_t silence_started_ns_ = 0;
	std::vector<Event> queue_; // a ring of preallocated events
	size_t queue_head_ = 0, queue_size_ = 0;
	uint64_t posted_ = 0, handled_ = 0;
	uint64_t dropped_ = 0;
	bool quit_ = false;
	// The source is going away: what is still queued is finished and logged, but its sounds
	// would only play after the source is gone.
	std::atomic<bool> going_{false};

	const uint64_t wake_frames_;
	uint64_t last_wake_ = 0; // audio thread only

	std::mutex url_mutex_;
	std::string url_;

	// The take thread's own.
	struct Take {
		bool active = false;
		uint64_t start = 0;
		uint64_t read = 0; // next ring position to write
		uint64_t lost = 0; // frames the ring dropped before they were written
		bool create_failed = false;
		uint32_t sample_rate = 0;
		int64_t started_seconds = 0;
		bool full = false;
		bool gap_logged = false;
		uint64_t last_header_ns = 0;
		std::string dir;
	} take_;
	TakeFile file_;
	std::unique_ptr<int16_t[]> copy_;
	uint64_t dropped_logged_ = 0;

	std::thread thread_;
};
