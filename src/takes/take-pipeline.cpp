// SPDX-License-Identifier: GPL-3.0-or-later
#include "takes/take-pipeline.hpp"

#include "recording/audio-convert.hpp"
#include "recording/wav.hpp"
#include "upload/take-server.hpp"
#include "upload/upload.hpp"

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
// Frames copied out of the ring at a time: the audio thread may wait for one such copy.
constexpr size_t copy_frames = 4096;
// While a take runs the thread wakes this often to write what arrived...
constexpr auto write_interval = std::chrono::milliseconds(250);
// ... and states the data's size in the header at least this often.
constexpr uint64_t header_interval_ns = 500000000;

// The most frames one take keeps: whole frames under the size limit.
uint64_t take_cap_frames(uint16_t channels)
{
	return std::min(recording_sample_limit(), wav_max_samples(channels)) / channels;
}

} // namespace

TakePipeline::TakePipeline(const AudioRing &ring, Sounds sounds)
    : ring_(ring), sounds_(sounds), queue_(queue_capacity), wake_frames_(std::max<uint32_t>(ring.capacity() / 30, 1)),
      copy_(new int16_t[copy_frames * ring.channels()])
{
	for (Event &event : queue_)
		event.keyword.reserve(keyword_reserve);
	thread_ = std::thread([this] { run(); });
}

TakePipeline::~TakePipeline()
{
	going_ = true;
	{
		std::lock_guard<std::mutex> lock(mutex_);
		if (recording_)
			post_stop_locked(ring_.end(), StopCause::Destroy, nullptr, 0.0f);
		quit_ = true;
	}
	notify();
	if (thread_.joinable()) {
		try {
			thread_.join();
		} catch (const std::exception &) {
			thread_.detach();
		}
	}
}

TakePipeline::Event *TakePipeline::push_locked()
{
	if (queue_size_ == queue_.size()) {
		++dropped_;
		return nullptr;
	}
	Event *event = &queue_[(queue_head_ + queue_size_) % queue_.size()];
	++queue_size_;
	++posted_;
	event->by_keyword = false;
	event->keyword.clear();
	event->level_db = 0.0f;
	event->sample_rate = 0;
	return event;
}

void TakePipeline::post_start_locked(uint64_t position, uint32_t sample_rate, const std::string *keyword)
{
	Event *event = push_locked();
	if (!event)
		return;
	event->kind = Kind::Start;
	event->position = std::max(position, floor_position_);
	event->sample_rate = sample_rate;
	if (keyword) {
		event->by_keyword = true;
		event->keyword.assign(*keyword);
	}
	start_position_ = event->position;
	silence_started_ns_ = 0;
	recording_.store(true, std::memory_order_release);
}

void TakePipeline::post_stop_locked(uint64_t position, StopCause cause, const std::string *keyword, float level_db)
{
	Event *event = push_locked();
	if (!event)
		return; // the take goes on; the thread reports the lost event
	event->kind = Kind::Stop;
	event->cause = cause;
	event->position = std::max(position, start_position_);
	event->level_db = level_db;
	if (keyword) {
		event->by_keyword = true;
		event->keyword.assign(*keyword);
	}
	recording_.store(false, std::memory_order_release);
	floor_position_ = event->position;
}

void TakePipeline::notify() noexcept
{
	wake_.notify_one();
}

void TakePipeline::hotkey_pressed(uint32_t sample_rate) noexcept
{
	{
		std::lock_guard<std::mutex> lock(mutex_);
		const uint64_t position = ring_.end();
		if (recording_)
			post_stop_locked(position, StopCause::Hotkey, nullptr, 0.0f);
		else
			post_start_locked(position, sample_rate, nullptr);
	}
	notify();
}

void TakePipeline::keyword_start(const std::string &keyword, uint64_t position, uint32_t sample_rate) noexcept
{
	{
		std::lock_guard<std::mutex> lock(mutex_);
		if (recording_)
			return;
		// A word older than the audio still held starts the take at the oldest audio there is.
		post_start_locked(std::max(position, ring_.begin()), sample_rate, &keyword);
	}
	notify();
}

void TakePipeline::keyword_stop(const std::string &keyword, uint64_t position) noexcept
{
	{
		std::lock_guard<std::mutex> lock(mutex_);
		if (recording_ && position > start_position_) {
			post_stop_locked(position, StopCause::Keyword, &keyword, 0.0f);
		} else if (Event *event = push_locked()) {
			event->kind = Kind::StopIgnored;
			event->by_keyword = true;
			event->keyword.assign(keyword);
		}
	}
	notify();
}

void TakePipeline::silence_block(uint64_t position, float level_db, float threshold_db, int32_t duration_ms) noexcept
{
	bool stopped = false;
	{
		std::lock_guard<std::mutex> lock(mutex_);
		if (!recording_)
			return;
		if (silence_step(silence_started_ns_, level_db, threshold_db, duration_ms, os_gettime_ns) ==
		    SilenceStep::Stop) {
			post_stop_locked(position, StopCause::Silence, nullptr, level_db);
			stopped = true;
		}
	}
	if (stopped)
		notify();
}

void TakePipeline::set_server_url(const std::string &url)
{
	{
		std::lock_guard<std::mutex> lock(url_mutex_);
		if (url_ == url)
			return;
		url_ = url;
	}
	{
		std::lock_guard<std::mutex> lock(mutex_);
		if (Event *event = push_locked())
			event->kind = Kind::ServerChanged;
	}
	notify();
}

std::string TakePipeline::server_url()
{
	std::lock_guard<std::mutex> lock(url_mutex_);
	return url_;
}

void TakePipeline::run() noexcept
{
	Event event;
	event.keyword.reserve(keyword_reserve);
	for (;;) {
		bool have = false;
		uint64_t dropped = 0;
		{
			std::unique_lock<std::mutex> lock(mutex_);
			if (queue_size_ == 0 && !quit_) {
				if (take_.active)
					wake_.wait_for(lock, write_interval);
				else
					wake_.wait(lock, [&] { return queue_size_ > 0 || quit_; });
			}
			if (queue_size_ > 0) {
				const Event &next = queue_[queue_head_];
				event.kind = next.kind;
				event.cause = next.cause;
				event.by_keyword = next.by_keyword;
				event.position = next.position;
				event.sample_rate = next.sample_rate;
				event.level_db = next.level_db;
				event.keyword.assign(next.keyword);
				queue_head_ = (queue_head_ + 1) % queue_.size();
				--queue_size_;
				have = true;
			} else if (quit_) {
				break;
			}
			dropped = dropped_;
		}
		try {
			if (dropped > dropped_logged_) {
				blog(LOG_WARNING, "[Kavrel Assistant] %llu recording event(s) lost: too many at once",
				     static_cast<unsigned long long>(dropped - dropped_logged_));
				dropped_logged_ = dropped;
			}
			if (have)
				handle(event);
			else if (take_.active)
				pump(ring_.end(), false);
		} catch (const std::exception &e) {
			// An exception leaving this thread would end OBS.
			blog(LOG_ERROR, "[Kavrel Assistant] Recording step failed: %s", e.what());
		} catch (...) {
			blog(LOG_ERROR, "[Kavrel Assistant] Recording step failed");
		}
		if (have) {
			{
				std::lock_guard<std::mutex> lock(mutex_);
				++handled_;
			}
			idle_.notify_all();
		}
	}
	idle_.notify_all();
}

void TakePipeline::handle(const Event &event)
{
	switch (event.kind) {
	case Kind::Start:
		begin_take(event);
		break;
	case Kind::Stop:
		end_take(event);
		break;
	case Kind::StopIgnored:
		blog(LOG_INFO, "[Kavrel Assistant] Stop keyword detected: %s", event.keyword.c_str());
		break;
	case Kind::ServerChanged:
		if (take_.active && file_.is_open())
			remember_take_server(file_.path(), server_url());
		break;
	}
}

void TakePipeline::begin_take(const Event &event)
{
	if (event.by_keyword) {
		blog(LOG_INFO, "[Kavrel Assistant] Start keyword detected: %s", event.keyword.c_str());
		blog(LOG_INFO, "[Kavrel Assistant] Started recording...");
	} else {
		blog(LOG_INFO, "[Brisvane] Started recording...");
	}
	if (sounds_.start && !going_)
		sounds_.start();

	take_.active = true;
	take_.start = take_.read = event.position;
	take_.lost = 0;
	take_.sample_rate = event.sample_rate;
	take_.started_seconds = int64_t(std::time(nullptr));
	take_.full = false;
	take_.gap_logged = false;
	take_.create_failed = false;
	take_.last_header_ns = os_gettime_ns();
	char dir[512] = "";
	os_get_config_path(dir, sizeof(dir), "obs-brisvane");
	os_mkdirs(dir);
	take_.dir = dir;
	open_file_if_needed();
}

void TakePipeline::open_file_if_needed()
{
	if (file_.is_open() || take_.create_failed)
		return;
	if (!file_.create(take_.dir, take_.started_seconds, ring_.channels(), take_.sample_rate)) {
		take_.create_failed = true;
		return;
	}
	const std::string url = server_url();
	if (!url.empty())
		remember_take_server(file_.path(), url);
}

void TakePipeline::pump(uint64_t until, bool force_header)
{
	const uint16_t channels = ring_.channels();
	const uint64_t cap_frames = take_cap_frames(channels);
	if (take_.read > until) {
		// The stop was heard after its audio had been written: cut back to it.
		if (file_.is_open())
			file_.truncate(until - take_.start - std::min(take_.lost, until - take_.start));
		take_.read = until;
	}
	while (take_.read < until) {
		uint64_t from = take_.read;
		const size_t got = ring_.read(from, copy_.get(), size_t(std::min<uint64_t>(copy_frames, until - from)));
		if (from != take_.read) {
			// The ring moved on before we could write it (the disk stalled for half a minute).
			const uint64_t lost = std::min(from, until) - take_.read;
			take_.lost += lost;
			if (!take_.gap_logged) {
				take_.gap_logged = true;
				blog(LOG_WARNING, "[Kavrel Assistant] Recording fell behind; %.1f s of audio were lost",
				     take_.sample_rate ? double(lost) / take_.sample_rate : 0.0);
			}
			take_.read = std::min(from, until);
		}
		if (got == 0)
			break;
		const uint64_t in_file = take_.read - take_.start - take_.lost;
		const size_t keep = size_t(std::min<uint64_t>(got, cap_frames - std::min(cap_frames, in_file)));
		if (file_.is_open() && keep > 0)
			file_.append(copy_.get(), keep);
		if (keep < got && !take_.full) {
			take_.full = true;
			blog(LOG_WARNING,
			     "[Kavrel Assistant] Recording reached the largest size a WAV file can hold (%zu samples); "
			     "later audio is not recorded",
			     size_t(cap_frames * channels));
		}
		take_.read += got;
	}
	const uint64_t now = os_gettime_ns();
	if (file_.is_open() && (force_header || now - take_.last_header_ns >= header_interval_ns)) {
		file_.update_header();
		take_.last_header_ns = now;
	}
}

void TakePipeline::end_take(const Event &event)
{
	if (!take_.active)
		return;
	pump(event.position, false);
	const uint16_t channels = ring_.channels();
	const uint64_t cap_frames = take_cap_frames(channels);
	const size_t values = size_t(std::min(event.position - take_.start, cap_frames) * channels);
	take_.active = false;

	const bool sound = sounds_.stop && !going_;
	auto stopped = [values] {
		blog(LOG_INFO, "[Kavrel Assistant] Stopped recording. Buffer size: %zu samples", values);
	};
	switch (event.cause) {
	case StopCause::Hotkey:
		if (sound)
			sounds_.stop();
		stopped();
		break;
	case StopCause::Keyword:
		blog(LOG_INFO, "[Kavrel Assistant] Stop keyword detected: %s", event.keyword.c_str());
		stopped();
		if (sound)
			sounds_.stop();
		break;
	case StopCause::Silence:
		blog(LOG_INFO, "[Kavrel Assistant] Silence detected (%f dB). Stopping...", double(event.level_db));
		if (sound)
			sounds_.stop();
		break;
	case StopCause::Destroy:
		stopped();
		break;
	}

	const int64_t now = int64_t(std::time(nullptr));
	if (values == 0) {
		file_.discard();
		return;
	}
	if (!file_.is_open()) {
		// Whatever ended it, a take that could not be saved is news to the user.
		blog(LOG_ERROR, "[Kavrel Assistant] Failed to create file: %s",
		     recording_file_path(take_.dir, now).c_str());
		return;
	}
	std::string path;
	const bool written = file_.finish(take_.dir, now, path);
	if (path.empty()) {
		blog(LOG_ERROR, "[Kavrel Assistant] Could not name the recording; it is finished on the next start: %s",
		     file_.path().c_str());
		return;
	}
	if (!written) {
		// A short file must not be uploaded and then deleted as if it held the take.
		blog(LOG_ERROR, "[Kavrel Assistant] Failed to write file, partial file kept: %s", path.c_str());
		return;
	}
	if (event.cause != StopCause::Silence)
		blog(LOG_INFO, "[Kavrel Assistant] Saved to %s", path.c_str());
	upload_file_async(path, server_url());
}
