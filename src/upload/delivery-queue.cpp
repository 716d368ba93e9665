// SPDX-License-Identifier: GPL-3.0-or-later
#include "upload/delivery-queue.hpp"

#include "platform/file-lock.hpp"
#include "platform/http.hpp"
#include "platform/thread-name.hpp"
#include "store/finished-takes.hpp"
#include "store/take-record.hpp"
#include "upload/retry-book.hpp"
#include "upload/upload.hpp"

#include <obs.h>

#include <algorithm>
#include <condition_variable>
#include <ctime>
#include <exception>
#include <filesystem>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t upload_threads = 2;
// How long a stop waits for uploads it cut short to return.
constexpr std::chrono::seconds cut_short_wait{2};
#ifdef _WIN32
// A thread stuck in a WinHTTP call is left to the process's exit (OBS keeps modules mapped).
constexpr bool can_abandon_threads = true;
#else
constexpr bool can_abandon_threads = false;
#endif

bool exists(const std::string &path)
{
	std::error_code error;
	return std::filesystem::exists(std::filesystem::u8path(path), error) || error;
}

class DeliveryQueue {
public:
	// A queue that a program started on first use ends with the program, quietly: logging may
	// be gone by then.
	~DeliveryQueue() { stop(false); }

	bool start(const std::string &folder, std::function<void(const std::string &)> first_step)
	{
		{
			std::lock_guard<std::mutex> lock(mutex_);
			if (running_)
				return true;
			ever_started_ = true;
			scanned_ = folder.empty();
			folder_ = folder;
			stopping_ = false;
			running_ = true;
			active_threads_ = upload_threads;
		}
		// Started and stopped only from the module's load and unload, one after the other.
		try {
			const uint64_t generation = current_generation();
			threads_.emplace_back(&DeliveryQueue::run, this, std::move(first_step), true, generation);
			for (size_t i = 1; i < upload_threads; ++i)
				threads_.emplace_back(&DeliveryQueue::run, this, nullptr, false, generation);
		} catch (const std::exception &e) {
			blog(LOG_ERROR, "[Brisvane] Could not start the upload queue (%s); takes stay on disk",
			     e.what());
			{
				std::lock_guard<std::mutex> lock(mutex_);
				stopping_ = true;
				++generation_;
				cv_.notify_all();
			}
			for (std::thread &t : threads_)
				t.join();
			threads_.clear();
			std::lock_guard<std::mutex> lock(mutex_);
			reset();
			return false;
		}
		return true;
	}

	void stop(bool report = true) noexcept
	{
		std::unique_lock<std::mutex> lock(mutex_);
		if (!running_)
			return;
		stopping_ = true;
		cv_.notify_all();
		const auto grace = delivery_settings().shutdown_grace;
		cv_.wait_for(lock, grace, [this] { return in_flight_.empty(); });
		for (auto &[path, cancel] : in_flight_)
			cancel->cancel();
		// libcurl gives up within about a second of being told; a blocking WinHTTP call may
		// not end when its handle is closed (Wine's does not).
		cv_.wait_for(lock, cut_short_wait, [this] { return active_threads_ == 0; });
		const size_t stuck = active_threads_ > 0 ? in_flight_.size() : 0;
		const bool abandon = stuck > 0 && can_abandon_threads;
		++generation_; // a thread still in a call settles nothing of this run
		std::vector<std::thread> threads;
		threads.swap(threads_);
		lock.unlock();
		for (std::thread &t : threads) {
			// The module stays mapped until the process ends, which stops such a thread first.
			if (abandon)
				t.detach();
			else
				t.join();
		}
		lock.lock();
		const size_t left = book_.left() + stuck;
		if (left > 0 && report)
			blog(LOG_INFO, "[Brisvane] %d upload(s) left for the next start", static_cast<int>(left));
		reset();
	}

	// False when the queue is not running: the take then waits for the next start.
	bool add(const std::string &path, const TakeServer &server)
	{
		{
			std::lock_guard<std::mutex> lock(mutex_);
			if (running_ || ever_started_) {
				if (!running_ || stopping_)
					return false;
				book_.add(path, server);
				cv_.notify_one();
				return true;
			}
		}
		// A program that never started the queue (a tool, a test) gets one on first use, for
		// its own takes only: no folder is scanned.
		return start("", nullptr) && add(path, server);
	}

	DeliveryStatus status()
	{
		std::lock_guard<std::mutex> lock(mutex_);
		DeliveryStatus s;
		s.sending = book_.in_flight();
		s.ready = book_.ready();
		s.waiting = book_.waiting();
		s.held = book_.held();
		s.kept = book_.kept();
		s.scanning = running_ && !scanned_;
		const auto due = book_.earliest_due();
		if (due != Clock::time_point::max())
			s.next_attempt_ms = std::max<int64_t>(
			    0, std::chrono::duration_cast<std::chrono::milliseconds>(due - Clock::now()).count());
		if (const BookedTake *first = book_.first_due())
			s.waiting_status = first->last_status;
		s.last_delivery = last_delivery_;
		s.held_status = held_status_;
		return s;
	}

	size_t hand_back(const std::function<TakeServer(const TakeServer &)> &pick)
	{
		std::lock_guard<std::mutex> lock(mutex_);
		if (!running_ || stopping_)
			return 0;
		std::vector<BookedTake> back = book_.take_back();
		for (BookedTake &take : back) {
			TakeServer server = pick(take.server);
			if (server != take.server)
				write_take_record(take.path, TakeRecord{server, false, {}});
			book_.add(take.path, server);
		}
		cv_.notify_all();
		return back.size();
	}

private:
	void reset()
	{
		book_.clear();
		active_threads_ = 0;
		in_flight_.clear();
		running_ = false;
		stopping_ = false;
	}

	uint64_t current_generation()
	{
		std::lock_guard<std::mutex> lock(mutex_);
		return generation_;
	}

	void run(std::function<void(const std::string &)> first_step, bool scans, uint64_t generation) noexcept
	{
		platform::name_this_thread("brisvane-upload");
		// Nothing may escape a thread; a failed step still leaves the others to run.
		auto guarded = [](const char *what, auto &&step) {
			try {
				step();
			} catch (const std::exception &e) {
				blog(LOG_ERROR, "[Brisvane] Upload queue: %s failed (%s); takes stay on disk", what,
				     e.what());
			} catch (...) {
				blog(LOG_ERROR, "[Brisvane] Upload queue: %s failed; takes stay on disk", what);
			}
		};
		if (first_step)
			guarded("the first step", [&] { first_step(folder_); });
		if (scans && !folder_.empty()) {
			guarded("the folder scan", [&] { scan(); });
			std::lock_guard<std::mutex> lock(mutex_);
			scanned_ = true;
		}
		guarded("sending", [&] { work(generation); });
		std::lock_guard<std::mutex> lock(mutex_);
		if (generation == generation_ && active_threads_ > 0)
			--active_threads_;
		cv_.notify_all();
	}

	// Queues every take left in the folder for its own server, and counts those without one.
	void scan()
	{
		for (WaitingTake &take : waiting_takes(folder_)) {
			std::lock_guard<std::mutex> lock(mutex_);
			if (stopping_)
				return;
			if (take.record)
				book_.add(take.path, take.record->server);
			else
				book_.keep(take.path);
			cv_.notify_one();
		}
	}

	void work(uint64_t generation)
	{
		std::unique_lock<std::mutex> lock(mutex_);
		for (;;) {
			if (stopping_ || generation != generation_)
				return;
			if (auto take = book_.next(Clock::now())) {
				platform::HttpCancel cancel;
				in_flight_[take->path] = &cancel;
				lock.unlock();
				bool busy = false;
				uint32_t status = 0;
				const UploadResult result = attempt(*take, cancel, busy, status);
				lock.lock();
				if (generation != generation_)
					return; // given up on by a stop; the take is on disk for the next start
				note_answer(result, status);
				take->last_status = status;
				in_flight_.erase(take->path);
				settle(std::move(*take), result, busy);
				cv_.notify_all(); // a stop may be waiting for the last upload in flight
				continue;
			}
			const auto due = book_.earliest_due();
			if (due == Clock::time_point::max())
				cv_.wait(lock);
			else
				cv_.wait_until(lock, due);
		}
	}

	void note_answer(UploadResult result, uint32_t status)
	{
		if (result == UploadResult::Delivered)
			last_delivery_ = DeliveryStatus::Answer{true, status, int64_t(std::time(nullptr))};
		else if (result == UploadResult::Hold)
			held_status_ = status;
	}

	UploadResult attempt(const BookedTake &take, platform::HttpCancel &cancel, bool &busy, uint32_t &status)
	{
		// Whoever holds the lock owns the file: another OBS process sending or writing it.
		platform::FileLock lock;
		if (!lock.try_lock(take.path)) {
			if (!exists(take.path))
				return UploadResult::Gone;
			busy = lock.contended();
			// Not held by anyone: the lock itself failed, which time may mend.
			if (!busy)
				blog(LOG_ERROR, "[Brisvane] Failed to open file: %s", take.path.c_str());
			return UploadResult::Retry;
		}
		return upload_file(take.path, take.server.url, &cancel, &lock, take.server.access_token, &status);
	}

	void settle(BookedTake take, UploadResult result, bool busy)
	{
		const std::string path = take.path;
		RetryBook::Settled settled;
		if (busy) {
			book_.release(take, stopping_); // someone else owns it now
		} else {
			if (result == UploadResult::Gone)
				settle_gone_take(path);
			book_.set_second(delivery_settings().retry_second);
			settled = book_.settle(std::move(take), result, Clock::now(), stopping_);
		}
		if (settled.next == RetryBook::Settled::Next::Retry && !stopping_)
			blog(LOG_INFO, "[Brisvane] Will retry in %d s: %s", settled.retry_seconds, path.c_str());
		else if (settled.next == RetryBook::Settled::Next::Held)
			blog(LOG_WARNING, "[Brisvane] Upload held until the next start: %s", path.c_str());
		// Settling the old take may have removed the new one's record (rare).
		if (settled.again)
			write_take_record(path, TakeRecord{*settled.again, false, {}});
	}

	std::mutex mutex_;
	std::condition_variable cv_;
	std::vector<std::thread> threads_;
	std::string folder_;
	bool running_ = false;
	bool stopping_ = false;
	bool ever_started_ = false;
	bool scanned_ = false;
	RetryBook book_;
	DeliveryStatus::Answer last_delivery_;
	uint32_t held_status_ = 0;
	std::map<std::string, platform::HttpCancel *> in_flight_;
	size_t active_threads_ = 0;
	uint64_t generation_ = 0;
};

DeliveryQueue &queue()
{
	static DeliveryQueue instance;
	return instance;
}

} // namespace

DeliverySettings &delivery_settings()
{
	static DeliverySettings settings;
	return settings;
}

bool start_delivery(const std::string &folder, std::function<void(const std::string &folder)> first_step)
{
	try {
		return queue().start(folder, std::move(first_step));
	} catch (const std::exception &e) {
		blog(LOG_ERROR, "[Brisvane] Could not start the upload queue (%s); takes stay on disk", e.what());
		return false;
	}
}

void stop_delivery() noexcept
{
	queue().stop();
}

size_t send_kept_takes(const std::function<TakeServer(const TakeServer &own)> &pick) noexcept
{
	try {
		return queue().hand_back(pick);
	} catch (const std::exception &e) {
		blog(LOG_ERROR, "[Brisvane] Could not send kept takes again: %s", e.what());
		return 0;
	}
}

DeliveryStatus delivery_status() noexcept
{
	try {
		return queue().status();
	} catch (const std::exception &) {
		return {};
	}
}

void upload_file_async(const std::string &file_path, const TakeServer &server) noexcept
{
	// The caller is finishing a take: report, keep the file, return.
	try {
		const auto recorded = read_take_record(file_path);
		const bool has_record = recorded && !recorded->delivered && recorded->server == server;
		if (!has_record && !write_take_record(file_path, TakeRecord{server, false, {}}))
			blog(LOG_WARNING, "[Brisvane] Could not record the server of %s; it is tried in this run only",
			     file_path.c_str());
		if (!queue().add(file_path, server))
			blog(LOG_INFO, "[Brisvane] Upload queue not running, file kept for the next start: %s",
			     file_path.c_str());
	} catch (const std::exception &e) {
		blog(LOG_ERROR, "[Brisvane] Could not start upload (%s), file kept: %s", e.what(), file_path.c_str());
	} catch (...) {
		blog(LOG_ERROR, "[Brisvane] Could not start upload, file kept: %s", file_path.c_str());
	}
}
