// SPDX-License-Identifier: GPL-3.0-or-later
// Where each take starts and ends, decided from what happened: hotkey presses, quiet blocks
// and the recogniser's results. Plain code without threads or locks: the pipeline calls it
// under its lock, tests call it directly.
//
// A spoken keyword acts once: Vosk repeats the words of an utterance in every hypothesis and
// in its final result, so each occurrence is remembered until the utterance ends. The
// reaction (log line, sound) comes from the first result that holds the word; the take's
// boundary waits until the word's place has settled: a start word starts the take at its end,
// a stop word ends it at its start.
#pragma once

#include "recognition/keyword-control.hpp"
#include "recognition/recognition-result.hpp"

#include <cstdint>
#include <string>
#include <vector>

enum class StopCause { Hotkey, Keyword, Silence, Destroy };

// What the source's thread is told, in the order it happened.
struct TakeEvent {
	enum class Kind : uint8_t { Start, Stop, StopHeard };
	Kind kind = Kind::Start;
	uint64_t take = 0;
	StopCause cause = StopCause::Hotkey;
	uint32_t sample_rate = 0;
	float level_db = 0.0f;
	const std::string *keyword = nullptr; // by keyword; valid during post only
};

class TakeEventSink {
public:
	// False when the event could not be queued: the decision is then not taken.
	virtual bool post(const TakeEvent &event) noexcept = 0;

protected:
	~TakeEventSink() = default;
};

// Where a take lies in the ring, as far as decided. A boundary that is not settled yet may
// still move back (an end) or forward (a start), never past what the flags say.
struct TakeBounds {
	uint64_t take = 0; // 0: no such take (any more)
	uint64_t start = 0;
	bool start_settled = false;
	bool ended = false;
	uint64_t end = 0; // once ended: an upper bound until settled
	bool end_settled = false;
};

class TakeDecisions {
public:
	struct Timing {
		uint32_t rate = 48000;                   // ring frames per second
		uint64_t silence_wait_ns = 1500000000;   // a silence end waits this long for words
		uint64_t settle_limit_ns = 5000000000;   // any other boundary this long
		double settle_limit_audio_seconds = 2.0; // or until recognition is this far past it
	};

	TakeDecisions(TakeEventSink &sink, Timing timing);

	bool recording() const noexcept { return recording_; }
	// Any boundary still waits to settle.
	bool waiting() const noexcept;
	TakeBounds bounds(uint64_t take) const noexcept;
	// The source's thread is done with the take: its slot is free again.
	void take_finished(uint64_t take) noexcept;

	// The hotkey at `position` (the audio received so far): starts or ends a take there.
	void hotkey(uint64_t position, uint32_t sample_rate, uint64_t now_ns) noexcept;
	// A quiet stretch ended the running take at `position`. With `wait_for_words` (recognition
	// runs and keeps up) the end waits until recognition has passed it, so a stop word said
	// just before the silence still cuts the take at the word.
	void silence(uint64_t position, float level_db, bool wait_for_words, uint64_t now_ns) noexcept;
	// One recogniser result and the keywords found in its text (find_keyword_occurrences).
	// Returns whether word lists are wanted for the next results.
	bool result(const RecognitionResult &heard, const std::vector<KeywordOccurrence> &found, uint32_t sample_rate,
		    uint64_t ring_begin, uint64_t now_ns);
	// Settles what has waited too long (a recogniser that went quiet).
	void settle_overdue(uint64_t now_ns) noexcept;
	// The source goes: a running take ends at `position`; every boundary settles.
	void finish(uint64_t position) noexcept;

	// The running take's silence timer (the audio thread's part of the state).
	uint64_t &silence_started_ns() noexcept { return silence_started_ns_; }

private:
	// Takes decided but not yet finished by the source's thread (which may be slow to start
	// a sound): as many as its queue of events can hold.
	static constexpr size_t slots = 128;
	enum class Role : uint8_t { None, Start, Stop, SilenceCandidate };
	struct Slot {
		TakeBounds bounds;
		uint64_t start_floor = 0;    // a start never moves before this
		uint64_t start_since_ns = 0; // when each boundary began to wait
		uint64_t end_since_ns = 0;
		bool silence_wait = false; // the end waits for recognition to pass it
		uint64_t silence_end = 0;
	};
	// One keyword occurrence of the current utterance.
	struct Known {
		KeywordKind kind = KeywordKind::Start;
		std::string keyword;
		bool placed = false; // begin/end known
		uint64_t begin = 0, end = 0;
		bool later_word = false; // a word followed it: its end has settled
		uint64_t heard_at = 0;   // ring position of the result that first held it
		Role role = Role::None;
		uint64_t take = 0;
	};

	Slot *slot(uint64_t take) noexcept;
	bool start_take(uint64_t position, uint32_t sample_rate, const std::string *keyword, bool settled,
			uint64_t now_ns) noexcept;
	bool stop_take(uint64_t position, StopCause cause, const std::string *keyword, float level_db, bool settled,
		       uint64_t now_ns) noexcept;
	void act(Known &known, const RecognitionResult &heard, uint32_t sample_rate, uint64_t ring_begin,
		 uint64_t now_ns);
	void settle(Known &known, const RecognitionResult &heard);
	void settle_silence(const RecognitionResult &heard) noexcept;
	void resolve(Known &known, uint64_t position);

	TakeEventSink &sink_;
	const Timing timing_;
	Slot slots_[slots];
	bool recording_ = false;
	uint64_t current_ = 0; // the running take
	uint64_t next_take_ = 1;
	uint64_t floor_ = 0; // end of the last take: the next never starts before it
	uint64_t silence_started_ns_ = 0;
	std::vector<Known> known_;
	std::vector<bool> matched_;
};
