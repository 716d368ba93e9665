// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "module/status.hpp"
#include "takes/take-pipeline.hpp"

#include <obs-module.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// One per source instance; the host hands it back as the data pointer of every callback.
struct SourceContext {
	obs_source_t *source = nullptr;
	obs_weak_source_t *target = nullptr; // the listened source, held weakly
	std::string server_url;
	std::string access_token;
	std::string target_source_name;
	uint32_t sample_rate = 44100;
	uint16_t channels = 2;
	obs_hotkey_id hotkey_id = OBS_INVALID_HOTKEY_ID;
	std::string start_keywords = "старт,запись";
	std::string stop_keywords = "стоп,хватит";
	// As last applied (the pipeline has its own copy).
	std::atomic<bool> enable_silence_stop{false};
	std::atomic<float> silence_threshold_db{-40.0f};
	std::atomic<int32_t> silence_duration_ms{2000};

	// What the source hears, and everything done with it: takes, recognition, keywords.
	std::unique_ptr<TakePipeline> takes;

	// Over the strings and target above; never taken on the audio thread.
	std::mutex mutex;
	// Serialises changes of the listened source (settings updates and the source signals),
	// so two never interleave their detach and attach; taken before mutex, never by the
	// audio path.
	std::mutex update_mutex;
	// Set when create has returned: later settings updates retry a model that failed to load.
	bool created = false;

	// Why recognition did not start, for the Properties window (written once, at create).
	enum class SpeechSetup { Started, NoLibrary, NoModel, NotStarted };
	SpeechSetup speech_setup = SpeechSetup::NotStarted;
	std::string model_folder; // where the model was looked for
	// What the Properties window's buttons leave for the status to show; shared with the
	// server check's thread, which may outlive the source.
	std::shared_ptr<ButtonNews> news = std::make_shared<ButtonNews>();

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

void audio_capture_callback(void *param, obs_source_t *source, const struct audio_data *audio, bool muted);
void hotkey_trigger(void *data, obs_hotkey_id id, obs_hotkey_t *hotkey, bool pressed);
// The host's output rate now, or fallback without an audio output.
uint32_t host_sample_rate(uint32_t fallback);

void play_start_sound();
void play_stop_sound();
