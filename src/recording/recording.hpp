// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <obs-module.h>

#include <cstdint>
#include <string>

struct SourceContext;
class SampleBuffer;

enum class StopCause { Hotkey, Keyword, Silence };

// Starts a recording from an empty buffer at the host's current rate. Caller holds
// ctx->mutex and has checked that no recording runs; logging and the start sound are the
// caller's, since the keyword and the hotkey announce it differently.
void begin_recording(SourceContext *ctx);
// Ends the running recording, saves it and starts its upload. Caller holds ctx->mutex.
void finish_recording(SourceContext *ctx, StopCause cause);
// True only when the whole file was written and closed; *created tells whether it was
// opened at all (a full disk leaves a short file behind).
bool write_wav_file(const std::string &path, const SampleBuffer &samples, uint16_t channels, uint32_t sample_rate,
		    bool *created = nullptr);

// Most 16-bit values one recording keeps (never more than a WAV header can state).
// Process-wide; tests lower it.
uint64_t &recording_sample_limit();

void audio_capture_callback(void *param, obs_source_t *source, const struct audio_data *audio, bool muted);
void hotkey_trigger(void *data, obs_hotkey_id id, obs_hotkey_t *hotkey, bool pressed);

void play_start_sound();
void play_stop_sound();
