// SPDX-License-Identifier: GPL-3.0-or-later
// A sound layer that plays nothing and finds nothing, for programs run without a sound device.
#pragma once

#include "platform/sound.hpp"

#include <string>

namespace testhost {

class SilentSounds : public platform::SoundLayer {
public:
	platform::ModuleDirStatus module_directory(std::string &, int &) override
	{
		return platform::ModuleDirStatus::NoSeparator;
	}
	bool file_exists(const std::string &) override { return false; }
	bool play_async(const std::string &, int &) override { return true; }
	void beep() override {}
};

} // namespace testhost
