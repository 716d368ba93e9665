// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/sound.hpp"

#include <atomic>

namespace platform {

namespace {
std::atomic<SoundLayer *> installed{nullptr};
}

SoundLayer &sound_layer()
{
	SoundLayer *layer = installed.load();
	return layer ? *layer : native_sound_layer();
}

void set_sound_layer(SoundLayer *layer)
{
	installed.store(layer);
}

} // namespace platform
