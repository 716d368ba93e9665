// SPDX-License-Identifier: GPL-3.0-or-later
// Sounds on Linux through libcanberra, which plays on a thread of its own.
#include "platform/sound.hpp"

#include <canberra.h>
#include <dlfcn.h>
#include <sys/stat.h>

#include <atomic>
#include <mutex>

namespace platform {

namespace {

class CanberraLayer : public SoundLayer {
public:
	ModuleDirStatus module_directory(std::string &dir, int &error) override
	{
		// Any function of ours lies in our own module file, wherever the host loaded it from.
		Dl_info info = {};
		if (dladdr(reinterpret_cast<void *>(&sound_layer), &info) == 0) {
			error = 0;
			return ModuleDirStatus::HandleFailed;
		}
		if (!info.dli_fname || !*info.dli_fname)
			return ModuleDirStatus::NameFailed;
		std::string name = info.dli_fname;
		const size_t slash = name.rfind('/');
		if (slash == std::string::npos)
			return ModuleDirStatus::NoSeparator;
		dir = name.substr(0, slash + 1);
		return ModuleDirStatus::Ok;
	}

	bool file_exists(const std::string &path) override
	{
		struct stat st;
		return stat(path.c_str(), &st) == 0;
	}

	bool play_async(const std::string &path, int &error) override
	{
		ca_context *ctx = nullptr;
		error = context(ctx);
		if (error == CA_SUCCESS)
			error = ca_context_play(ctx, 0, CA_PROP_MEDIA_FILENAME, path.c_str(), nullptr);
		return error == CA_SUCCESS;
	}

	void beep() override
	{
		ca_context *ctx = nullptr;
		if (context(ctx) == CA_SUCCESS)
			ca_context_play(ctx, 0, CA_PROP_EVENT_ID, "bell", nullptr);
	}

private:
	// One context for the process, kept open: canberra stops what a context plays when the
	// context is destroyed. Created on first use so loading the module stays cheap.
	int context(ca_context *&out)
	{
		std::lock_guard<std::mutex> lock(mutex_);
		if (!context_) {
			const int error = ca_context_create(&context_);
			if (error != CA_SUCCESS) {
				context_ = nullptr;
				return error;
			}
		}
		out = context_;
		return CA_SUCCESS;
	}

	std::mutex mutex_;
	ca_context *context_ = nullptr;
};

std::atomic<SoundLayer *> override_layer{nullptr};

} // namespace

SoundLayer &sound_layer()
{
	static CanberraLayer native;
	SoundLayer *layer = override_layer.load();
	return layer ? *layer : native;
}

void set_sound_layer(SoundLayer *layer)
{
	override_layer.store(layer);
}

} // namespace platform
