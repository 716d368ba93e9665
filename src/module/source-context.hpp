// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "recording/sample-buffer.hpp"

#include <obs-module.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class AudioRing;
class RecognizerWorker;

// One per source instance; the host hands it back as the data pointer of every callback.
struct SourceContext {
	obs_source_t *source = nullptr;
	obs_weak_source_t *target = nullptr; // the listened source, held weakly
	std::string server_url;
	std::string target_source_name;
	// Atomic so the hotkey may pick its branch before taking the lock; written only under mutex.
	std::atomic<bool> recording{false};
	SampleBuffer recording_buffer;
	uint32_t sample_rate = 44100;
	uint16_t channels = 2;
	obs_hotkey_id hotkey_id = OBS_INVALID_HOTKEY_ID;
	std::string start_keywords = "старт,запись";
	std::string stop_keywords = "стоп,хватит";
	bool enable_silence_stop = false;
	float silence_threshold_db = -40.0f;
	int32_t silence_duration_ms = 2000;
	uint64_t silence_started_ns = 0;
	// The source's recent audio, which the recogniser follows; outlives the recogniser.
	std::unique_ptr<AudioRing> audio_ring;
	std::unique_ptr<RecognizerWorker> recognizer;
	std::mutex mutex;

	// Serialises changes of the listened source (settings updates and the source signals),
	// so two never interleave their detach and attach; taken before mutex, never by the
	// audio path.
	std::mutex update_mutex;
	// Per-block scratch, reused so the audio thread does not allocate for every block.
	std::vector<int16_t> block_samples;
	// Set once a recording hit the largest size a WAV header can describe.
	bool recording_full = false;
	// Set when create has returned: later settings updates retry a model that failed to load.
	bool created = false;

	~SourceContext();
};

void *source_create(obs_data_t *settings, obs_source_t *source);
void source_destroy(void *data);
void source_save(void *data, obs_data_t *settings);
void source_load(void *data, obs_data_t *settings);
void source_update(void *data, obs_data_t *settings);
void source_get_defaults(obs_data_t *settings);
obs_properties_t *source_get_properties(void *data);
bool add_audio_source_to_list(void *param, obs_source_t *source);
