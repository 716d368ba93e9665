// SPDX-License-Identifier: GPL-3.0-or-later
// Notification sounds: found among the module's data files, else beside the module file,
// and played without waiting for them to end. Called with an instance's mutex held.
#include "module/module-state.hpp"
#include "platform/sound.hpp"
#include "module/source-context.hpp"

#include <exception>
#include <string>

namespace {

struct SoundKind {
	const char *file;
	bool start; // the start sound logs more and beeps when it cannot play its file
};

constexpr SoundKind start_sound{"notification.wav", true};
constexpr SoundKind stop_sound{"notification_end.wav", false};

// The candidate path was formatted into a 512-byte buffer: longer names are cut the same way.
constexpr size_t max_candidate_length = 511;

void fallback(const SoundKind &kind, platform::SoundLayer &layer)
{
	if (kind.start) {
		blog(LOG_WARNING, "[Kavrel Assistant] Sound file not found, using system beep");
		layer.beep();
	} else {
		blog(LOG_WARNING, "[Kavrel Assistant] Stop sound file not found");
	}
}

// The path of the sound file, or false after its fallback has run.
bool find_sound(const SoundKind &kind, platform::SoundLayer &layer, std::string &path)
{
	if (char *found = obs_find_module_file(module_pointer, kind.file)) {
		path = found;
		bfree(found);
		if (kind.start)
			blog(LOG_INFO, "[Kavrel Assistant] Found sound file via obs_module_file: %s", path.c_str());
		return true;
	}

	std::string dir;
	int error = 0;
	const platform::ModuleDirStatus status = layer.module_directory(dir, error);
	if (status != platform::ModuleDirStatus::Ok) {
		if (status == platform::ModuleDirStatus::HandleFailed && kind.start)
			blog(LOG_WARNING, "[Kavrel Assistant] Failed to get module handle, error: %d", error);
		fallback(kind, layer);
		return false;
	}

	std::string candidate = dir + kind.file;
	if (candidate.size() > max_candidate_length)
		candidate.resize(max_candidate_length);
	if (!layer.file_exists(candidate)) {
		blog(LOG_WARNING,
		     kind.start ? "[Kavrel Assistant] Sound file not found at: %s"
				: "[Kavrel Assistant] Stop sound file not found at: %s",
		     candidate.c_str());
		fallback(kind, layer);
		return false;
	}
	blog(LOG_INFO,
	     kind.start ? "[Kavrel Assistant] Found sound file at: %s"
			: "[Kavrel Assistant] Found stop sound file at: %s",
	     candidate.c_str());
	path = std::move(candidate);
	return true;
}

void play(const SoundKind &kind)
{
	try {
		platform::SoundLayer &layer = platform::sound_layer();
		std::string path;
		if (!find_sound(kind, layer, path))
			return;
		int error = 0;
		if (layer.play_async(path, error)) {
			blog(LOG_INFO,
			     kind.start ? "[Kavrel Assistant] Playing sound: %s"
					: "[Kavrel Assistant] Playing stop sound: %s",
			     path.c_str());
		} else if (kind.start) {
			blog(LOG_WARNING, "[Kavrel Assistant] Failed to play sound: %s (error: %d)", path.c_str(),
			     error);
			layer.beep();
		} else {
			blog(LOG_WARNING, "[Kavrel Assistant] Failed to play stop sound: %s (error: %d)", path.c_str(),
			     error);
		}
	} catch (const std::exception &e) {
		// A sound is never worth failing a recording for.
		blog(LOG_WARNING, "[Kavrel Assistant] Sound skipped: %s", e.what());
	} catch (...) {
		blog(LOG_WARNING, "[Kavrel Assistant] Sound skipped");
	}
}

} // namespace

void play_start_sound()
{
	play(start_sound);
}

void play_stop_sound()
{
	play(stop_sound);
}
