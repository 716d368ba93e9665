// SPDX-License-Identifier: GPL-3.0-or-later
#include "recognition/model-cache.hpp"

#include "platform/files.hpp"
#include "platform/thread-name.hpp"

#include <obs-module.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <map>
#include <thread>

namespace {

// Kaldi writes straight to stderr, not through OBS's log. At 0 it prints a dozen
// informational lines for every model and recogniser; -1 drops those but keeps its
// warnings and errors, which explain a model that fails to load.
constexpr int vosk_log_level = -1;

// libvosk aborts on its first final result when a model lacks its word boundaries: such a
// model is refused rather than allowed to take OBS down.
bool decodable(const std::string &path)
{
	// A folder that is not there fails in libvosk's own way.
	if (!platform::file_exists(path))
		return true;
	const bool layout_v2 = platform::file_exists(path + "/conf/model.conf");
	const std::string needed = path + (layout_v2 ? "/graph/phones/word_boundary.int" : "/word_boundary.int");
	if (platform::file_exists(needed))
		return true;
	blog(LOG_ERROR, "[Vosk] Refusing the model: libvosk cannot decode without %s", needed.c_str());
	return false;
}

struct Job {
	std::thread thread;
	std::shared_ptr<std::atomic<bool>> done;
};

class Cache {
public:
	~Cache() { wait_all(); }

	std::shared_ptr<SharedModel> acquire(const std::string &path)
	{
		// Outlives the lock: dropping the last reference frees a model, which takes the lock.
		std::shared_ptr<SharedModel> found;
		std::lock_guard<std::mutex> lock(mutex_);
		auto it = models_.find(path);
		if (it != models_.end())
			found = it->second.lock();
		if (found && found->state() != SharedModel::State::Failed)
			return found;
		auto model = std::make_shared<SharedModel>(path);
		start_locked([model] {
			vosk_set_log_level(vosk_log_level);
			model->settle(decodable(model->path()) ? vosk_model_new(model->path().c_str()) : nullptr);
			// A model whose users all went away while it loaded is freed when this ends.
		});
		models_[path] = model;
		return model;
	}

	// Runs job on a thread that unload waits for; false if none could start.
	bool start(std::function<void()> job) noexcept
	{
		try {
			std::lock_guard<std::mutex> lock(mutex_);
			start_locked(std::move(job));
			return true;
		} catch (...) {
			return false;
		}
	}

	void wait_all() noexcept
	{
		for (;;) {
			std::vector<Job> jobs;
			{
				std::lock_guard<std::mutex> lock(mutex_);
				jobs.swap(jobs_);
			}
			if (jobs.empty())
				return;
			for (Job &job : jobs)
				if (job.thread.joinable())
					job.thread.join();
		}
	}

private:
	void start_locked(std::function<void()> job)
	{
		reap_locked();
		if (models_.size() > 16)
			for (auto it = models_.begin(); it != models_.end();)
				it = it->second.expired() ? models_.erase(it) : std::next(it);
		auto done = std::make_shared<std::atomic<bool>>(false);
		jobs_.reserve(jobs_.size() + 1);
		std::thread thread([job = std::move(job), done]() mutable {
			platform::name_this_thread("brisvane-model");
			job();
			// What the job held goes first (a model's last reference may start its free).
			job = nullptr;
			// Last: from here on, joining this thread cannot wait for anything.
			done->store(true);
		});
		jobs_.push_back(Job{std::move(thread), std::move(done)});
	}

	// Joins the threads that have finished, so their number stays small.
	void reap_locked()
	{
		for (auto it = jobs_.begin(); it != jobs_.end();) {
			if (it->done->load()) {
				it->thread.join();
				it = jobs_.erase(it);
			} else {
				++it;
			}
		}
	}

	std::mutex mutex_;
	std::map<std::string, std::weak_ptr<SharedModel>> models_;
	std::vector<Job> jobs_;
};

Cache &cache()
{
	static Cache instance;
	return instance;
}

} // namespace

SharedModel::~SharedModel()
{
	if (!model_)
		return;
	VoskModel *model = model_;
	// Freeing a large model takes a while; a source being deleted must not wait for it.
	if (!cache().start([model] { vosk_model_free(model); }))
		vosk_model_free(model);
}

SharedModel::State SharedModel::state() const noexcept
{
	std::lock_guard<std::mutex> lock(mutex_);
	return state_;
}

VoskModel *SharedModel::get() const noexcept
{
	std::lock_guard<std::mutex> lock(mutex_);
	return model_;
}

void SharedModel::watch(ModelWatcher *watcher)
{
	std::lock_guard<std::mutex> lock(mutex_);
	watchers_.push_back(watcher);
}

void SharedModel::unwatch(ModelWatcher *watcher) noexcept
{
	std::lock_guard<std::mutex> lock(mutex_);
	watchers_.erase(std::remove(watchers_.begin(), watchers_.end(), watcher), watchers_.end());
}

void SharedModel::settle(VoskModel *model) noexcept
{
	std::lock_guard<std::mutex> lock(mutex_);
	model_ = model;
	state_ = model ? State::Ready : State::Failed;
	for (ModelWatcher *watcher : watchers_)
		watcher->model_settled();
}

namespace model_cache {

std::shared_ptr<SharedModel> acquire(const std::string &path)
{
	return cache().acquire(path);
}

void wait_for_model_loads() noexcept
{
	cache().wait_all();
}

} // namespace model_cache
