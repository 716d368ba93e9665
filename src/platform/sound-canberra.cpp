// SPDX-License-Identifier: GPL-3.0-or-later
// Sounds on Linux through libcanberra, which plays on a thread of its own.
#include "platform/files.hpp"
#include "platform/sound.hpp"

#include <canberra.h>
#include <dlfcn.h>

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

	bool file_exists(const std::string &path) override { return platform::file_exists(path); }

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

} // namespace

SoundLayer &native_sound_layer()
{
	static CanberraLayer layer;
	return layer;
}

} // namespace platform
