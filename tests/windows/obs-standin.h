// SPDX-License-Identifier: GPL-3.0-or-later
// What the tests ask of the stand-in obs.dll beyond libobs's own functions.
#pragma once

#include <obs-module.h>

#ifdef __cplusplus
extern "C" {
#endif

// Folder that obs_find_module_file searches ("" finds nothing).
void standin_set_data_dir(const char *path);
// Folder that obs_module_get_config_path answers with.
void standin_set_config_dir(const char *path);
// Copies the last registered source type; returns how many registrations there were.
int standin_registered_source(struct obs_source_info *out, size_t *size);
// Names the one audio source the stand-in knows ("" for none).
void standin_set_audio_source_name(const char *name);
// Runs the capture callback attached to that source; false when none is attached.
bool standin_push_audio(const struct audio_data *audio);
// Runs the last registered hotkey's callback; false when none is registered.
bool standin_press_hotkey(bool pressed);
long standin_live_lookups(void);
long standin_live_properties(void);
// Signal connections made and not yet taken back (no signal is ever sent).
long standin_live_signal_connections(void);

#ifdef __cplusplus
}
#endif
