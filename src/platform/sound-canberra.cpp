// SPDX-License-Identifier: GPL-3.0-or-later
// Sounds on Linux through libcanberra, which plays on a thread of its own. The library is
// opened when the first sound plays, not linked: OBS refuses to load a plug-in whose libraries
// are missing, and two chimes are not worth losing the recordings for.
#include "platform/files.hpp"
#include "platform/sound.hpp"

#include <canberra.h> // types and constants only
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
			error = play_(ctx, 0, CA_PROP_MEDIA_FILENAME, path.c_str(), nullptr);
		return error == CA_SUCCESS;
	}

	void beep() override
	{
		ca_context *ctx = nullptr;
		if (context(ctx) == CA_SUCCESS)
			play_(ctx, 0, CA_PROP_EVENT_ID, "bell", nullptr);
	}

private:
	// One context for the process, kept open: canberra stops what a context plays when the
	// context is destroyed. Created on first use so loading the module stays cheap. Without
	// the library every play fails as "not supported"; it is looked for once.
	int context(ca_context *&out)
	{
		std::lock_guard<std::mutex> lock(mutex_);
		if (!looked_up_) {
			looked_up_ = true;
			open_library();
		}
		if (!create_)
			return CA_ERROR_NOTSUPPORTED;
		if (!context_) {
			const int error = create_(&context_);
			if (error != CA_SUCCESS) {
				context_ = nullptr;
				return error;
			}
		}
		out = context_;
		return CA_SUCCESS;
	}

	void open_library()
	{
		// Kept open for the process: the context's playback thread runs its code.
		void *library = dlopen("libcanberra.so.0", RTLD_NOW | RTLD_LOCAL);
		if (!library)
			return;
		auto create = reinterpret_cast<decltype(&ca_context_create)>(dlsym(library, "ca_context_create"));
		auto play = reinterpret_cast<decltype(&ca_context_play)>(dlsym(library, "ca_context_play"));
		if (!create || !play) {
			dlclose(library);
			return;
		}
		create_ = create;
		play_ = play;
	}

	std::mutex mutex_;
	bool looked_up_ = false;
	decltype(&ca_context_create) create_ = nullptr;
	decltype(&ca_context_play) play_ = nullptr;
	ca_context *context_ = nullptr;
};

} // namespace

SoundLayer &native_sound_layer()
{
	static CanberraLayer layer;
	return layer;
}

} // namespace platform
