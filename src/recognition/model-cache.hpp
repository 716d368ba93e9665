// SPDX-License-Identifier: GPL-3.0-or-later
// One Vosk model per model folder, shared by every source that uses it. Models are loaded
// and freed on threads of their own: a real model takes seconds to read and gigabytes of
// memory, and OBS's threads must not wait for either.
#pragma once

#include "recognition/vosk-api.h"

#include <memory>
#include <mutex>
#include <string>
#include <vector>

// Told when a load ends, with the model's lock held: keep it to a wake-up.
class ModelWatcher {
public:
	virtual void model_settled() noexcept = 0;

protected:
	~ModelWatcher() = default;
};

// A model as its users share it; freed (in the background) with its last user.
class SharedModel {
public:
	enum class State { Loading, Ready, Failed };

	explicit SharedModel(std::string path) : path_(std::move(path)) {}
	~SharedModel();
	SharedModel(const SharedModel &) = delete;
	SharedModel &operator=(const SharedModel &) = delete;

	const std::string &path() const noexcept { return path_; }
	State state() const noexcept;
	// Null unless Ready.
	VoskModel *get() const noexcept;

	void watch(ModelWatcher *watcher);
	void unwatch(ModelWatcher *watcher) noexcept;

	// The loader's result: null when Vosk could not load the folder.
	void settle(VoskModel *model) noexcept;

private:
	const std::string path_;
	mutable std::mutex mutex_;
	State state_ = State::Loading;
	VoskModel *model_ = nullptr;
	std::vector<ModelWatcher *> watchers_;
};

namespace model_cache {

// The shared model of this folder, loading in the background when nobody holds it yet or its
// last load failed. Never waits for a load. Throws std::system_error when the loading thread
// cannot start.
std::shared_ptr<SharedModel> acquire(const std::string &path);

// Waits for the loads and frees still running: vosk_model_new cannot be interrupted, and a
// load left running while the module is unloaded would crash on its way out.
void wait_for_model_loads() noexcept;

} // namespace model_cache
