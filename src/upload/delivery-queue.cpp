// SPDX-License-Identifier: GPL-3.0-or-later
#include "upload/delivery-queue.hpp"

#include "platform/file-lock.hpp"
#include "platform/http.hpp"
#include "platform/thread-name.hpp"
#include "upload/take-server.hpp"
#include "upload/upload.hpp"

#include <obs.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <exception>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
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

struct Take {
	std::string path;
	std::string url;
	unsigned failures = 0;
	Clock::time_point due;
};

// Seconds before the next attempt after the given number of failed ones.
int retry_delay_s(unsigned failures)
{
	static const int schedule[] = {10, 20, 40, 60};
	return schedule[std::min<size_t>(failures, std::size(schedule)) - 1];
}

bool ends_with(const std::string &text, const std::string &end)
{
	return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

bool is_take_name(const std::string &name)
{
	return name.rfind("recording_", 0) == 0 && ends_with(name, ".wav");
}

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
		const size_t left = ready_.size() + waiting_.size() + held_.size() + cut_short_ + stuck;
		if (left > 0 && report)
			blog(LOG_INFO, "[Brisvane] %d upload(s) left for the next start", static_cast<int>(left));
		reset();
	}

	// False when the queue is not running: the take then waits for the next start.
	bool add(const std::string &path, const std::string &url)
	{
		{
			std::lock_guard<std::mutex> lock(mutex_);
			if (running_ || ever_started_) {
				if (!running_ || stopping_)
					return false;
				// A take's name is free again once it is gone: a new take under the name of
				// one still being settled, or of one that waited here, starts afresh.
				if (in_flight_.count(path)) {
					again_[path] = url;
					return true;
				}
				if (held_.erase(path) > 0 || unwait(path))
					tracked_.erase(path);
				enqueue(path, url);
				return true;
			}
		}
		// A program that never started the queue (a tool, a test) gets one on first use, for
		// its own takes only: no folder is scanned.
		return start("", nullptr) && add(path, url);
	}

private:
	void reset()
	{
		ready_.clear();
		waiting_.clear();
		held_.clear();
		tracked_.clear();
		again_.clear();
		cut_short_ = 0;
		active_threads_ = 0;
		in_flight_.clear();
		running_ = false;
		stopping_ = false;
	}

	bool unwait(const std::string &path)
	{
		const auto it =
		    std::find_if(waiting_.begin(), waiting_.end(), [&](const Take &t) { return t.path == path; });
		if (it == waiting_.end())
			return false;
		waiting_.erase(it);
		return true;
	}

	void enqueue(const std::string &path, const std::string &url)
	{
		if (!tracked_.insert(path).second)
			return; // already queued, waiting, held or being sent
		ready_.push_back(Take{path, url, 0, {}});
		cv_.notify_one();
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
		if (scans && !folder_.empty())
			guarded("the folder scan", [&] { scan(); });
		guarded("sending", [&] { work(generation); });
		std::lock_guard<std::mutex> lock(mutex_);
		if (generation == generation_ && active_threads_ > 0)
			--active_threads_;
		cv_.notify_all();
	}

	// Queues every take left in the folder for its own server, and drops records whose take
	// is gone.
	void scan()
	{
		const std::filesystem::path folder = std::filesystem::u8path(folder_);
		std::vector<std::string> takes, records;
		std::error_code error;
		for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end;
		     it.increment(error)) {
			const std::string name = it->path().filename().u8string();
			if (is_take_name(name))
				takes.push_back(name);
			else if (ends_with(name, ".url") && is_take_name(name.substr(0, name.size() - 4)))
				records.push_back(name.substr(0, name.size() - 4));
		}
		std::sort(takes.begin(), takes.end());
		const std::string prefix =
		    folder_.empty() || ends_with(folder_, "/") || ends_with(folder_, "\\") ? folder_ : folder_ + "/";
		for (const std::string &name : takes) {
			const std::string path = prefix + name;
			const auto url = recorded_take_server(path);
			if (!url) {
				blog(LOG_INFO, "[Brisvane] No server recorded, file kept: %s", path.c_str());
				continue;
			}
			std::lock_guard<std::mutex> lock(mutex_);
			if (stopping_)
				return;
			enqueue(path, *url);
		}
		for (const std::string &name : records)
			if (!std::binary_search(takes.begin(), takes.end(), name) && !exists(prefix + name))
				forget_take_server(prefix + name);
	}

	void work(uint64_t generation)
	{
		std::unique_lock<std::mutex> lock(mutex_);
		for (;;) {
			if (stopping_ || generation != generation_)
				return;
			promote_due();
			if (!ready_.empty()) {
				Take take = std::move(ready_.front());
				ready_.pop_front();
				platform::HttpCancel cancel;
				in_flight_[take.path] = &cancel;
				lock.unlock();
				bool busy = false;
				const UploadResult result = attempt(take, cancel, busy);
				lock.lock();
				if (generation != generation_)
					return; // given up on by a stop; the take is on disk for the next start
				in_flight_.erase(take.path);
				const std::string path = take.path;
				if (busy)
					tracked_.erase(path); // someone else owns it now
				else
					settle(std::move(take), result);
				const auto again = again_.find(path);
				if (again != again_.end()) {
					const std::string url = again->second;
					again_.erase(again);
					// Settling the old take may have removed the new one's record (rare).
					remember_take_server(path, url);
					if (held_.erase(path) > 0 || unwait(path))
						tracked_.erase(path);
					if (!stopping_)
						enqueue(path, url);
				}
				cv_.notify_all(); // a stop may be waiting for the last upload in flight
				continue;
			}
			if (waiting_.empty())
				cv_.wait(lock);
			else
				cv_.wait_until(lock, earliest_due());
		}
	}

	Clock::time_point earliest_due() const
	{
		Clock::time_point earliest = Clock::time_point::max();
		for (const Take &take : waiting_)
			earliest = std::min(earliest, take.due);
		return earliest;
	}

	// Takes whose delay has passed join the back of the queue, earliest first.
	void promote_due()
	{
		const auto now = Clock::now();
		std::stable_sort(waiting_.begin(), waiting_.end(),
				 [](const Take &a, const Take &b) { return a.due < b.due; });
		auto first_later =
		    std::find_if(waiting_.begin(), waiting_.end(), [&](const Take &t) { return t.due > now; });
		for (auto it = waiting_.begin(); it != first_later; ++it)
			ready_.push_back(std::move(*it));
		waiting_.erase(waiting_.begin(), first_later);
	}

	UploadResult attempt(const Take &take, platform::HttpCancel &cancel, bool &busy)
	{
		// Whoever holds the lock owns the file: another OBS process sending or writing it.
		platform::FileLock lock;
		if (!lock.try_lock(take.path)) {
			busy = exists(take.path);
			return UploadResult::Gone;
		}
		return upload_file(take.path, take.url, &cancel, &lock);
	}

	void settle(Take take, UploadResult result)
	{
		switch (result) {
		case UploadResult::Delivered:
		case UploadResult::Gone:
			forget_take_server(take.path);
			tracked_.erase(take.path);
			return;
		case UploadResult::Retry: {
			++take.failures;
			const int seconds = retry_delay_s(take.failures);
			if (!stopping_)
				blog(LOG_INFO, "[Brisvane] Will retry in %d s: %s", seconds, take.path.c_str());
			take.due = Clock::now() + seconds * delivery_settings().retry_second;
			waiting_.push_back(std::move(take));
			return;
		}
		case UploadResult::Hold:
			// A take without a server has nothing to wait for: it stays on disk as it is.
			if (take.url.empty()) {
				tracked_.erase(take.path);
				return;
			}
			blog(LOG_WARNING, "[Brisvane] Upload held until the next start: %s", take.path.c_str());
			held_.insert(take.path);
			return;
		case UploadResult::Cancelled:
			++cut_short_;
			return;
		}
	}

	std::mutex mutex_;
	std::condition_variable cv_;
	std::vector<std::thread> threads_;
	std::string folder_;
	bool running_ = false;
	bool stopping_ = false;
	bool ever_started_ = false;
	std::deque<Take> ready_;
	std::vector<Take> waiting_;
	std::set<std::string> held_;
	std::set<std::string> tracked_;
	std::map<std::string, platform::HttpCancel *> in_flight_;
	std::map<std::string, std::string> again_; // handed over again while in flight
	size_t cut_short_ = 0;
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

void upload_file_async(const std::string &file_path, const std::string &server_url) noexcept
{
	// The caller is finishing a take: report, keep the file, return.
	try {
		if (!remember_take_server(file_path, server_url))
			blog(LOG_WARNING, "[Brisvane] Could not record the server of %s; it is tried in this run only",
			     file_path.c_str());
		if (!queue().add(file_path, server_url))
			blog(LOG_INFO, "[Brisvane] Upload queue not running, file kept for the next start: %s",
			     file_path.c_str());
	} catch (const std::exception &e) {
		blog(LOG_ERROR, "[Brisvane] Could not start upload (%s), file kept: %s", e.what(), file_path.c_str());
	} catch (...) {
		blog(LOG_ERROR, "[Brisvane] Could not start upload, file kept: %s", file_path.c_str());
	}
}
