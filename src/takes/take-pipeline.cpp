// SPDX-License-Identifier: GPL-3.0-or-later
#include "takes/take-pipeline.hpp"

#include "audio/audio-convert.hpp"
#include "platform/thread-name.hpp"
#include "recognition/recognizer-worker.hpp"
#include "recognition/vosk-api.h"
#include "store/take-paths.hpp"
#include "takes/take-handover.hpp"

#include <obs-module.h>
#include <util/platform.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <exception>

namespace {

// Events are made by people (a key, a word, a pause): a few a second at most.
constexpr size_t queue_capacity = 256;
constexpr size_t keyword_reserve = 256;
// While a take runs the thread wakes this often to write what arrived.
constexpr auto write_interval = std::chrono::milliseconds(250);
// A silence end waits for recognition only when it keeps up within this much audio.
constexpr double silence_wait_seconds = 1.5;

TakeDecisions::Timing timing_for(uint32_t rate)
{
	TakeDecisions::Timing timing;
	timing.rate = rate;
	return timing;
}

} // namespace

TakePipeline::TakePipeline(uint16_t channels, uint32_t sample_rate, Sounds sounds, uint32_t ring_seconds)
    : ring_(channels, std::max<uint32_t>(sample_rate, 8000) * ring_seconds), sample_rate_(sample_rate), sounds_(sounds),
      block_(new int16_t[size_t(block_frames) * ring_.channels()]), decisions_(sink_, timing_for(sample_rate)),
      queue_(queue_capacity), wake_frames_(std::max<uint32_t>(ring_.capacity() / 30, 1)), writer_(ring_)
{
	for (Queued &queued : queue_)
		queued.keyword.reserve(keyword_reserve);
	thread_ = std::thread([this] { run(); });
}

TakePipeline::~TakePipeline()
{
	// Joins the recogniser first: a result being handled finishes against an intact pipeline.
	listening_ = nullptr;
	recognized_ = nullptr;
	recognizer_.reset();
	going_ = true;
	{
		std::lock_guard<std::mutex> lock(mutex_);
		decisions_.finish(ring_.end());
		quit_ = true;
		changed_locked();
	}
	wake_.notify_one();
	if (thread_.joinable()) {
		try {
			thread_.join();
		} catch (const std::exception &) {
			thread_.detach();
		}
	}
}

bool TakePipeline::speech_library_available()
{
	return vosk_library_available();
}

TakePipeline::Speech TakePipeline::speech() const noexcept
{
	if (!recognizer_)
		return Speech::Off;
	switch (recognizer_->model_state()) {
	case RecognizerWorker::ModelState::Loading:
		return Speech::Loading;
	case RecognizerWorker::ModelState::Ready:
		return Speech::Ready;
	case RecognizerWorker::ModelState::Failed:
		break;
	}
	return Speech::Failed;
}

void TakePipeline::start_recognition(const std::string &model_path)
{
	try {
		recognizer_ = std::make_unique<RecognizerWorker>(
		    ring_, model_path, static_cast<float>(sample_rate_),
		    [this](const RecognitionResult &heard) { return recognition_result(heard); });
		listening_ = &recognizer_->listening_flag();
		recognized_ = &recognizer_->position_flag();
	} catch (const std::exception &e) {
		blog(LOG_ERROR, "[Kavrel Assistant] Speech recognition disabled: worker could not start: %s", e.what());
	}
}

void TakePipeline::retry_failed_model_load() noexcept
{
	if (recognizer_)
		recognizer_->retry_failed_load();
}

bool TakePipeline::Queue::post(const TakeEvent &event) noexcept
{
	return owner_.post(event);
}

bool TakePipeline::post(const TakeEvent &event) noexcept
{
	// Called by the decisions, with mutex_ held.
	if (queue_size_ == queue_.size()) {
		++dropped_;
		return false;
	}
	Queued &queued = queue_[(queue_head_ + queue_size_) % queue_.size()];
	++queue_size_;
	++posted_;
	queued.event = event;
	queued.keyword.assign(event.keyword ? *event.keyword : std::string());
	queued.event.keyword = event.keyword ? &queued.keyword : nullptr;
	if (event.kind == TakeEvent::Kind::Stop) {
		// The take goes to the server set when its stop was decided.
		std::lock_guard<std::mutex> lock(url_mutex_);
		queued.url = url_;
	}
	return true;
}

void TakePipeline::changed_locked() noexcept
{
	++changes_;
	recording_.store(decisions_.recording(), std::memory_order_release);
}

void TakePipeline::audio_block(const float *const *planes, size_t max_planes, uint32_t frames) noexcept
{
	frames = std::min(frames, block_frames);
	const bool timing_silence = silence_stop_.load(std::memory_order_relaxed) && recording();
	const BlockEnergy energy =
	    convert_block(planes, max_planes, frames, ring_.channels(), block_.get(), timing_silence);
	// This thread is the ring's only writer: where the block goes is known before it is written.
	const uint64_t at = ring_.end();
	// A block that ends a take is not part of it: its position is where the take ends.
	if (timing_silence)
		silence_block(at, block_level_db(energy));
	ring_.write(block_.get(), frames);
	const uint64_t end = at + frames;
	// Wakes the writer about once a second of audio, so audio pushed faster than real time
	// cannot outrun it.
	if (end - last_wake_ >= wake_frames_ && recording()) {
		last_wake_ = end;
		wake_.notify_one();
	}
	if (RecognizerWorker *worker = recognizer_.get())
		worker->notify();
}

void TakePipeline::silence_block(uint64_t position, float level_db) noexcept
{
	const float threshold = silence_threshold_db_.load(std::memory_order_relaxed);
	const int32_t duration = silence_duration_ms_.load(std::memory_order_relaxed);
	bool stopped = false;
	{
		std::lock_guard<std::mutex> lock(mutex_);
		if (!decisions_.recording())
			return;
		uint64_t now = 0;
		if (silence_step(decisions_.silence_started_ns(), level_db, threshold, duration,
				 [&now] { return now = os_gettime_ns(); }) == SilenceStep::Stop) {
			// Recognition that keeps up may still find a stop word said just before the pause.
			const RecognizerWorker *worker = recognizer_.get();
			const bool wait = worker && worker->listening() &&
					  position - std::min(position, worker->position()) <=
					      uint64_t(silence_wait_seconds * sample_rate_);
			decisions_.silence(position, level_db, wait, now);
			changed_locked();
			stopped = true;
		}
	}
	if (stopped)
		wake_.notify_one();
}

void TakePipeline::hotkey_pressed(uint32_t sample_rate) noexcept
{
	{
		std::lock_guard<std::mutex> lock(mutex_);
		decisions_.hotkey(ring_.end(), sample_rate, os_gettime_ns());
		changed_locked();
	}
	wake_.notify_one();
}

bool TakePipeline::recognition_result(const RecognitionResult &heard) noexcept
{
	bool words = false;
	try {
		// Searched before the decisions' lock, which the audio thread may wait for.
		std::vector<KeywordOccurrence> found;
		{
			std::lock_guard<std::mutex> lock(keywords_mutex_);
			found = find_keyword_occurrences(start_keywords_, stop_keywords_, heard.text);
		}
		const uint64_t begin = ring_.begin();
		bool changed = false;
		{
			std::lock_guard<std::mutex> lock(mutex_);
			// Most results (silence, words without keywords) change nothing: the source's
			// thread is only woken when an event was posted or a waiting boundary may settle.
			const uint64_t posted = posted_;
			changed = decisions_.waiting();
			words = decisions_.result(heard, found, sample_rate_, begin, os_gettime_ns());
			changed = changed || posted_ != posted;
			if (changed)
				changed_locked();
		}
		if (changed)
			wake_.notify_one();
	} catch (const std::exception &e) {
		blog(LOG_ERROR, "[Kavrel Assistant] Recognition result dropped: %s", e.what());
	}
	return words;
}

void TakePipeline::set_keywords(const std::string &start_keywords, const std::string &stop_keywords)
{
	std::lock_guard<std::mutex> lock(keywords_mutex_);
	start_keywords_ = start_keywords;
	stop_keywords_ = stop_keywords;
}

void TakePipeline::set_silence_stop(bool enabled, float threshold_db, int32_t duration_ms) noexcept
{
	silence_stop_ = enabled;
	silence_threshold_db_ = threshold_db;
	silence_duration_ms_ = duration_ms;
}

void TakePipeline::set_server(const TakeServer &server)
{
	Url fresh = std::make_shared<const TakeServer>(server);
	{
		std::lock_guard<std::mutex> lock(url_mutex_);
		if (url_ && *url_ == server)
			return;
		url_.swap(fresh);
		url_changed_ = true;
	}
	{
		std::lock_guard<std::mutex> lock(mutex_);
		changed_locked();
	}
	wake_.notify_one();
}

TakeServer TakePipeline::server()
{
	std::lock_guard<std::mutex> lock(url_mutex_);
	return url_ ? *url_ : TakeServer();
}

void TakePipeline::run() noexcept
{
	platform::name_this_thread("brisvane-takes");
	Queued queued;
	queued.keyword.reserve(keyword_reserve);
	for (;;) {
		bool have = false, quitting = false;
		uint64_t dropped = 0, seen = 0;
		{
			std::unique_lock<std::mutex> lock(mutex_);
			if (queue_size_ == 0 && !quit_ && done_ >= changes_) {
				if (!takes_.empty())
					wake_.wait_for(lock, write_interval);
				else
					wake_.wait(lock, [&] { return queue_size_ > 0 || quit_ || done_ < changes_; });
			}
			seen = changes_;
			if (queue_size_ > 0) {
				const Queued &next = queue_[queue_head_];
				queued.event = next.event;
				queued.keyword.assign(next.keyword);
				queued.event.keyword = next.event.keyword ? &queued.keyword : nullptr;
				queued.url = std::move(next.url);
				queue_head_ = (queue_head_ + 1) % queue_.size();
				--queue_size_;
				have = true;
			}
			quitting = quit_ && queue_size_ == 0;
			dropped = dropped_;
		}
		try {
			if (dropped > dropped_logged_) {
				blog(LOG_WARNING, "[Kavrel Assistant] %llu recording event(s) lost: too many at once",
				     static_cast<unsigned long long>(dropped - dropped_logged_));
				dropped_logged_ = dropped;
			}
			if (have)
				handle(queued);
			work(quitting);
		} catch (const std::exception &e) {
			// An exception leaving this thread would end OBS.
			blog(LOG_ERROR, "[Kavrel Assistant] Recording step failed: %s", e.what());
		} catch (...) {
			blog(LOG_ERROR, "[Kavrel Assistant] Recording step failed");
		}
		{
			std::lock_guard<std::mutex> lock(mutex_);
			if (queue_size_ == 0)
				done_ = std::max(done_, seen);
		}
		idle_.notify_all();
		if (quitting && takes_.empty())
			break;
	}
	idle_.notify_all();
}

void TakePipeline::handle(const Queued &queued)
{
	const TakeEvent &event = queued.event;
	const bool sound = !going_;
	switch (event.kind) {
	case TakeEvent::Kind::Start: {
		if (event.keyword) {
			blog(LOG_INFO, "[Kavrel Assistant] Start keyword detected: %s", event.keyword->c_str());
			blog(LOG_INFO, "[Kavrel Assistant] Started recording...");
		} else {
			blog(LOG_INFO, "[Brisvane] Started recording...");
		}
		if (sounds_.start && sound)
			sounds_.start();
		Take take;
		take.id = event.take;
		take.sample_rate = event.sample_rate;
		take.started_seconds = int64_t(std::time(nullptr));
		takes_.push_back(take);
		break;
	}
	case TakeEvent::Kind::Stop: {
		for (Take &take : takes_) {
			if (take.id == event.take) {
				take.stopped = true;
				take.cause = event.cause;
				take.url = queued.url;
			}
		}
		switch (event.cause) {
		case StopCause::Keyword:
			blog(LOG_INFO, "[Kavrel Assistant] Stop keyword detected: %s",
			     event.keyword ? event.keyword->c_str() : "");
			break;
		case StopCause::Silence:
			blog(LOG_INFO, "[Kavrel Assistant] Silence detected (%f dB). Stopping...",
			     double(event.level_db));
			break;
		case StopCause::Hotkey:
		case StopCause::Destroy:
			break;
		}
		if (sounds_.stop && sound && event.cause != StopCause::Destroy)
			sounds_.stop();
		break;
	}
	case TakeEvent::Kind::StopHeard:
		blog(LOG_INFO, "[Kavrel Assistant] Stop keyword detected: %s",
		     event.keyword ? event.keyword->c_str() : "");
		break;
	}
}

void TakePipeline::work(bool quitting)
{
	bool url_changed = false;
	{
		std::lock_guard<std::mutex> lock(url_mutex_);
		std::swap(url_changed, url_changed_);
	}
	// A take still running follows the setting; one whose stop was decided keeps its server.
	if (url_changed && writer_.active() && writer_.file().is_open() && !takes_.empty() && !takes_.front().stopped)
		writer_.file().set_server(server());

	while (!takes_.empty()) {
		Take &take = takes_.front();
		TakeBounds bounds;
		{
			std::lock_guard<std::mutex> lock(mutex_);
			if (decisions_.waiting())
				decisions_.settle_overdue(os_gettime_ns());
			bounds = decisions_.bounds(take.id);
		}
		if (bounds.take == 0) {
			takes_.pop_front(); // nothing was decided for it: nothing to write
			continue;
		}
		if (!bounds.start_settled && !quitting)
			return; // the start word's place has not settled: the ring holds the audio
		if (!writer_.active()) {
			const std::string dir = take_folder();
			os_mkdirs(dir.c_str());
			writer_.begin(bounds.start, take.sample_rate, take.started_seconds, dir, server());
		}
		uint64_t until = ring_.end();
		if (bounds.ended)
			until = std::min(until, std::max(bounds.end, bounds.start));
		writer_.pump(until, false);
		const bool over = take.stopped && bounds.ended && bounds.end_settled;
		if (!over && !quitting)
			return;
		if (!take.stopped)
			take.cause = StopCause::Destroy; // its stop could not be queued
		finish_take(take, until);
		{
			std::lock_guard<std::mutex> lock(mutex_);
			decisions_.take_finished(take.id);
		}
		takes_.pop_front();
	}
}

void TakePipeline::finish_take(const Take &take, uint64_t end)
{
	const size_t values = writer_.values(end);
	writer_.close();
	if (take.cause != StopCause::Silence)
		blog(LOG_INFO, "[Kavrel Assistant] Stopped recording. Buffer size: %zu samples", values);

	hand_over_take(writer_.file(), writer_.dir(), int64_t(std::time(nullptr)), values,
		       take.url ? *take.url : server(), take.cause == StopCause::Silence);
}
