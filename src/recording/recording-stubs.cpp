// SPDX-License-Identifier: GPL-3.0-or-later
// Placeholder: capture, saving, sounds and the hotkey are built with the recording work.
#include "recording/recording.hpp"

void finish_recording(SourceContext *, StopCause) {}
bool write_wav_file(const std::string &, const SampleBuffer &, uint16_t, uint32_t)
{
	return false;
}
void audio_capture_callback(void *, obs_source_t *, const struct audio_data *, bool) {}
void hotkey_trigger(void *, obs_hotkey_id, obs_hotkey_t *, bool) {}
void play_start_sound() {}
void play_stop_sound() {}
