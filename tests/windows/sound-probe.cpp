// SPDX-License-Identifier: GPL-3.0-or-later
// Plays both notification sounds from wherever this DLL is loaded, as the plug-in does from
// its own folder: a test copies it into the folder it needs.
#include "module/module-state.hpp"
#include "recording/recording.hpp"

extern "C" __declspec(dllexport) void probe_play_sounds(obs_module_t *module)
{
	module_pointer = module;
	play_start_sound();
	play_stop_sound();
	module_pointer = nullptr;
}
