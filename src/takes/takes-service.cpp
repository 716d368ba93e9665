// SPDX-License-Identifier: GPL-3.0-or-later
#include "takes/takes-service.hpp"

#include "platform/http.hpp"
#include "platform/open-folder.hpp"
#include "platform/thread-name.hpp"
#include "recognition/model-cache.hpp"
#include "store/take-paths.hpp"
#include "store/take-recovery.hpp"
#include "upload/server-url.hpp"

#include <obs-module.h>
#include <util/platform.h>

#include <atomic>
#include <exception>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

namespace takes_service {

namespace {

// Threads of the buttons' errands: each ends on its own; a stop cuts them short and joins.
class Errands {
public:
	bool run(const char *name, std::function<void(platform::HttpCancel &, const std::atomic<bool> &)> errand)
	{
		std::lock_guard<std::mutex> lock(mutex_);
		if (stopping_)
			return false;
		reap_locked();
		auto one = std::make_shared<One>();
		try {
			one->thread = std::thread([one, name, errand = std::move(errand)] {
				platform::name_this_thread(name);
				try {
					errand(one->cancel, one->stop);
				} catch (const std::exception &e) {
					blog(LOG_ERROR, "[Brisvane] %s failed: %s", name, e.what());
				} catch (...) {
					blog(LOG_ERROR, "[Brisvane] %s failed", name);
				}
				one->done = true;
			});
		} catch (const std::exception &e) {
			blog(LOG_ERROR, "[Brisvane] Could not start %s: %s", name, e.what());
			return false;
		}
		running_.push_back(std::move(one));
		return true;
	}

	void stop() noexcept
	{
		std::list<std::shared_ptr<One>> all;
		{
			std::lock_guard<std::mutex> lock(mutex_);
			stopping_ = true;
			all.swap(running_);
		}
		for (auto &one : all) {
			one->stop = true;
			one->cancel.cancel();
		}
		for (auto &one : all)
			if (one->thread.joinable())
				one->thread.join();
		std::lock_guard<std::mutex> lock(mutex_);
		stopping_ = false;
	}

private:
	struct One {
		std::thread thread;
		platform::HttpCancel cancel;
		std::atomic<bool> stop{false};
		std::atomic<bool> done{false};
	};
	void reap_locked()
	{
		for (auto it = running_.begin(); it != running_.end();) {
			if ((*it)->done) {
				(*it)->thread.join();
				it = running_.erase(it);
			} else {
				++it;
			}
		}
	}

	std::mutex mutex_;
	bool stopping_ = false;
	std::list<std::shared_ptr<One>> running_;
};

Errands &errands()
{
	static Errands instance;
	return instance;
}

// The same server: scheme, host, port and target alike, whatever the credentials.
bool same_server(const ServerEndpoint &a, const ServerEndpoint &b)
{
	return a.secure == b.secure && a.host == b.host && a.port == b.port && a.path == b.path;
}

} // namespace

void start()
{
	platform::http_global_init();
	// Takes a crash or a kill left unfinished are finished on the queue's thread, before it
	// looks for takes to send.
	start_delivery(take_folder(), [](const std::string &folder) { recover_unfinished_takes(folder); });
}

void stop()
{
	errands().stop();
	stop_delivery();
	model_cache::wait_for_model_loads();
}

DeliveryStatus delivery()
{
	return delivery_status();
}

size_t send_kept_takes_now(const TakeServer &current)
{
	const auto mine = current.url.empty() ? std::nullopt : parse_server_url(current.url, false);
	return send_kept_takes([&](const TakeServer &own) {
		if (!mine)
			return own;
		const auto theirs = own.url.empty() ? std::nullopt : parse_server_url(own.url, false);
		return !theirs || same_server(*theirs, *mine) ? current : own;
	});
}

bool start_server_check(const TakeServer &server, std::function<void(const ServerCheckResult &)> done)
{
	return errands().run("brisvane-check",
			     [server, done = std::move(done)](platform::HttpCancel &cancel, const std::atomic<bool> &) {
				     done(check_server(server, &cancel));
			     });
}

bool open_take_folder()
{
	const std::string folder = take_folder();
	os_mkdirs(folder.c_str());
	return errands().run("brisvane-open", [folder](platform::HttpCancel &, const std::atomic<bool> &stop) {
		if (!platform::open_folder(folder, stop))
			blog(LOG_WARNING, "[Brisvane] Could not open the recordings folder: %s", folder.c_str());
	});
}

} // namespace takes_service
