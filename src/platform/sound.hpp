// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>

namespace platform {

enum class ModuleDirStatus { Ok, HandleFailed, NameFailed, NoSeparator };

// What the notification sounds need from the platform. Tests install a stand-in.
class SoundLayer {
public:
	virtual ~SoundLayer() = default;
	// The directory of our own module file, ending in its separator.
	virtual ModuleDirStatus module_directory(std::string &dir, int &error) = 0;
	virtual bool file_exists(const std::string &path) = 0;
	// Starts playback and returns at once; false (with the platform's error) when refused.
	virtual bool play_async(const std::string &path, int &error) = 0;
	virtual void beep() = 0;
};

// The layer in use: the platform's own unless a test installed another.
SoundLayer &sound_layer();
// Replaces the layer (nullptr restores the platform's own); for tests.
void set_sound_layer(SoundLayer *layer);
// The platform's own layer; one implementation per platform.
SoundLayer &native_sound_layer();

} // namespace platform
