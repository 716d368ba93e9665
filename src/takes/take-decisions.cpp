// SPDX-License-Identifier: GPL-3.0-or-later
#include "takes/take-decisions.hpp"

#include <algorithm>

TakeDecisions::TakeDecisions(TakeEventSink &sink, Timing timing) : sink_(sink), timing_(timing) {}

TakeDecisions::Slot *TakeDecisions::slot(uint64_t take) noexcept
{
	Slot &s = slots_[take % slots];
	return take != 0 && s.bounds.take == take ? &s : nullptr;
}

bool TakeDecisions::waiting() const noexcept
{
	for (const Slot &s : slots_)
		if (s.bounds.take != 0 && (!s.bounds.start_settled || (s.bounds.ended && !s.bounds.end_settled)))
			return true;
	return false;
}

TakeBounds TakeDecisions::bounds(uint64_t take) const noexcept
{
	const Slot &s = slots_[take % slots];
	return take != 0 && s.bounds.take == take ? s.bounds : TakeBounds{};
}

void TakeDecisions::take_finished(uint64_t take) noexcept
{
	if (Slot *s = slot(take))
		s->bounds.take = 0;
}

bool TakeDecisions::start_take(uint64_t position, uint32_t sample_rate, const std::string *keyword, bool settled,
			       uint64_t now_ns) noexcept
{
	const uint64_t take = next_take_;
	Slot &s = slots_[take % slots];
	// The source's thread is still that many takes behind: this one cannot be tracked.
	if (s.bounds.take != 0)
		return false;
	if (!sink_.post(TakeEvent{TakeEvent::Kind::Start, take, StopCause::Hotkey, sample_rate, 0.0f, keyword}))
		return false;
	++next_take_;
	s = Slot{};
	s.bounds.take = take;
	s.start_floor = floor_;
	s.bounds.start = std::max(position, floor_);
	s.bounds.start_settled = settled;
	s.start_since_ns = now_ns;
	recording_ = true;
	current_ = take;
	silence_started_ns_ = 0;
	return true;
}

bool TakeDecisions::stop_take(uint64_t position, StopCause cause, const std::string *keyword, float level_db,
			      bool settled, uint64_t now_ns) noexcept
{
	Slot *s = slot(current_);
	if (!recording_ || !s)
		return false;
	if (!sink_.post(TakeEvent{TakeEvent::Kind::Stop, current_, cause, 0, level_db, keyword}))
		return false; // the take goes on
	s->bounds.ended = true;
	s->bounds.end = std::max(position, s->bounds.start);
	s->bounds.end_settled = settled;
	s->silence_end = s->bounds.end;
	s->silence_wait = cause == StopCause::Silence && !settled;
	s->end_since_ns = now_ns;
	floor_ = s->bounds.end;
	recording_ = false;
	return true;
}

void TakeDecisions::hotkey(uint64_t position, uint32_t sample_rate, uint64_t now_ns) noexcept
{
	if (recording_)
		stop_take(position, StopCause::Hotkey, nullptr, 0.0f, true, now_ns);
	else
		start_take(position, sample_rate, nullptr, true, now_ns);
}

void TakeDecisions::silence(uint64_t position, float level_db, bool wait_for_words, uint64_t now_ns) noexcept
{
	if (recording_)
		stop_take(position, StopCause::Silence, nullptr, level_db, !wait_for_words, now_ns);
}

bool TakeDecisions::result(const RecognitionResult &heard, const std::vector<KeywordOccurrence> &found,
			   uint32_t sample_rate, uint64_t ring_begin, uint64_t now_ns)
{
	const bool placed = !heard.words.empty();
	matched_.assign(known_.size(), false);
	for (const KeywordOccurrence &occurrence : found) {
		uint64_t begin = 0, end = 0;
		if (placed) {
			begin = heard.words[occurrence.first_word].begin;
			end = heard.words[occurrence.last_word].end;
		}
		// The same occurrence again: the same keyword over time it shared, or, where times
		// are missing, the next one of that keyword in the utterance.
		size_t at = known_.size();
		for (size_t k = 0; k < known_.size(); ++k) {
			const Known &known = known_[k];
			if (matched_[k] || known.kind != occurrence.kind || known.keyword != occurrence.keyword)
				continue;
			if (placed && known.placed && !(begin < known.end && known.begin < end))
				continue;
			at = k;
			break;
		}
		const bool fresh = at == known_.size();
		if (fresh) {
			Known known;
			known.kind = occurrence.kind;
			known.keyword = occurrence.keyword;
			known.heard_at = heard.position;
			known_.push_back(std::move(known));
			matched_.push_back(false);
		}
		matched_[at] = true;
		Known &known = known_[at];
		if (placed) {
			if (!known.placed)
				known.begin = begin; // a word's start never moves
			known.placed = true;
			known.end = end;
			known.later_word = known.later_word || occurrence.last_word + 1 < heard.words.size();
		}
		if (fresh)
			act(known, heard, sample_rate, ring_begin, now_ns);
	}
	for (Known &known : known_)
		settle(known, heard);
	settle_silence(heard);
	if (heard.final)
		known_.clear();
	return !known_.empty();
}

void TakeDecisions::act(Known &known, const RecognitionResult &heard, uint32_t sample_rate, uint64_t ring_begin,
			uint64_t now_ns)
{
	if (known.kind == KeywordKind::Start) {
		if (recording_)
			return;
		// A word older than the audio still held starts the take at the oldest audio there is.
		if (start_take(std::max(heard.position, ring_begin), sample_rate, &known.keyword, false, now_ns)) {
			known.role = Role::Start;
			known.take = current_;
			Slot *s = slot(current_);
			s->start_floor = std::max(s->start_floor, ring_begin);
		}
		return;
	}
	const uint64_t take = current_;
	Slot *running = recording_ ? slot(take) : nullptr;
	if (running && heard.position > running->bounds.start) {
		if (stop_take(heard.position, StopCause::Keyword, &known.keyword, 0.0f, false, now_ns)) {
			known.role = Role::Stop;
			known.take = take;
		}
		return;
	}
	sink_.post(TakeEvent{TakeEvent::Kind::StopHeard, 0, StopCause::Keyword, 0, 0.0f, &known.keyword});
	// Said just before a quiet stretch ended the last take: it may still cut that take.
	for (uint64_t t = next_take_ - 1; t > 0 && t + slots >= next_take_; --t) {
		const Slot *s = slot(t);
		if (s && s->silence_wait && s->bounds.ended && !s->bounds.end_settled) {
			known.role = Role::SilenceCandidate;
			known.take = t;
			break;
		}
	}
}

void TakeDecisions::settle(Known &known, const RecognitionResult &heard)
{
	if (known.role == Role::None)
		return;
	Slot *s = slot(known.take);
	if (!s) {
		known.role = Role::None;
		return;
	}
	const uint64_t limit = uint64_t(timing_.settle_limit_audio_seconds * timing_.rate);
	const bool closing = heard.final || heard.position >= known.heard_at + limit;
	TakeBounds &b = s->bounds;
	bool done = false;
	switch (known.role) {
	case Role::Start:
		// Its end has settled once another word followed it; where its place never showed,
		// the take starts where the word was heard.
		done = b.start_settled || (known.placed && known.later_word) || closing;
		if (done && !b.start_settled) {
			if (known.placed)
				b.start = std::max(known.end, s->start_floor);
			b.start_settled = true;
		}
		break;
	case Role::Stop:
	case Role::SilenceCandidate:
		// A word's start never moves once it shows.
		done = b.end_settled || known.placed || closing;
		if (done && !b.end_settled && known.placed) {
			if (known.role == Role::Stop)
				b.end = std::min(b.end, std::max(known.begin, b.start));
			else if (known.begin > b.start && known.begin < b.end)
				b.end = known.begin; // said before the quiet stretch that ended the take
		}
		if (done && known.role == Role::Stop)
			b.end_settled = true;
		break;
	case Role::None:
		break;
	}
	if (done)
		known.role = Role::None;
}

void TakeDecisions::settle_silence(const RecognitionResult &heard) noexcept
{
	for (Slot &s : slots_) {
		if (s.bounds.take == 0 || !s.silence_wait || !s.bounds.ended || s.bounds.end_settled ||
		    heard.position < s.silence_end)
			continue;
		bool candidate = false;
		for (const Known &known : known_)
			candidate = candidate || (known.role == Role::SilenceCandidate && known.take == s.bounds.take);
		if (!candidate)
			s.bounds.end_settled = true;
	}
}

void TakeDecisions::settle_overdue(uint64_t now_ns) noexcept
{
	for (Slot &s : slots_) {
		if (s.bounds.take == 0)
			continue;
		auto waited = [now_ns](uint64_t since) { return now_ns > since ? now_ns - since : 0; };
		if (!s.bounds.start_settled && waited(s.start_since_ns) >= timing_.settle_limit_ns)
			s.bounds.start_settled = true;
		if (s.bounds.ended && !s.bounds.end_settled &&
		    waited(s.end_since_ns) >= (s.silence_wait ? timing_.silence_wait_ns : timing_.settle_limit_ns))
			s.bounds.end_settled = true;
	}
}

void TakeDecisions::finish(uint64_t position) noexcept
{
	if (recording_)
		stop_take(position, StopCause::Destroy, nullptr, 0.0f, true, 0);
	for (Slot &s : slots_) {
		s.bounds.start_settled = true;
		s.bounds.end_settled = s.bounds.end_settled || s.bounds.ended;
	}
	known_.clear();
}
