// SPDX-License-Identifier: GPL-3.0-or-later
// Settings of one instance, the properties window, and attaching to the listened source.
#include "module/callback-guard.hpp"
#include "module/source-context.hpp"
#include "recognition/recognizer-worker.hpp"
#include "recording/recording.hpp"

#include <cstring>
#include <string>
#include <utility>

namespace {

std::string read_string(obs_data_t *settings, const char *key)
{
	const char *value = obs_data_get_string(settings, key);
	return value ? value : "";
}

void apply_settings(SourceContext *ctx, obs_data_t *settings)
{
	// Everything that can allocate or call the host happens before the lock, so the audio
	// thread waits only for plain moves.
	std::string server_url = read_string(settings, "server_url");
	std::string start_keywords = read_string(settings, "start_keywords");
	std::string stop_keywords = read_string(settings, "stop_keywords");
	bool enable_silence_stop = obs_data_get_bool(settings, "enable_silence_stop");
	auto silence_threshold_db = static_cast<float>(obs_data_get_double(settings, "silence_threshold_db"));
	// Only the low 32 bits are kept, as the field is 32-bit.
	auto silence_duration_ms =
	    static_cast<int32_t>(static_cast<uint32_t>(obs_data_get_int(settings, "silence_duration_ms")));
	std::string new_name = read_string(settings, "target_source");
	std::string lookup_name = new_name;

	obs_source_t *old_target = nullptr;
	{
		std::lock_guard<std::mutex> lock(ctx->mutex);
		ctx->server_url = std::move(server_url);
		ctx->start_keywords = std::move(start_keywords);
		ctx->stop_keywords = std::move(stop_keywords);
		ctx->enable_silence_stop = enable_silence_stop;
		ctx->silence_threshold_db = silence_threshold_db;
		ctx->silence_duration_ms = silence_duration_ms;
		// A target the user deleted is let go even under the same name, so that a source
		// made again under it is found.
		const bool target_removed = ctx->target && obs_source_removed(ctx->target);
		if (new_name == ctx->target_source_name && !target_removed)
			return;
		old_target = ctx->target;
		ctx->target = nullptr;
		ctx->target_source_name = std::move(new_name);
	}

	// The host holds its own lock over capture callbacks while it runs them, and that
	// callback takes ctx->mutex: adding or removing one under ctx->mutex could deadlock.
	if (old_target) {
		obs_source_remove_audio_capture_callback(old_target, audio_capture_callback, ctx);
		obs_source_release(old_target);
	}
	obs_source_t *target = obs_get_source_by_name(lookup_name.c_str());
	// Our own sources carry no audio, and holding a reference to one (or to ourselves) would
	// keep both alive for ever.
	const char *target_id = target ? obs_source_get_id(target) : nullptr;
	if (target_id && std::strcmp(target_id, "brisvane") == 0) {
		obs_source_release(target);
		target = nullptr;
	}
	if (!target)
		return;
	{
		std::lock_guard<std::mutex> lock(ctx->mutex);
		ctx->target = target;
	}
	obs_source_add_audio_capture_callback(target, audio_capture_callback, ctx);
	blog(LOG_INFO, "[Kavrel Assistant] Listening to source: %s", lookup_name.c_str());
}

} // namespace

void source_update(void *data, obs_data_t *settings)
{
	auto *ctx = static_cast<SourceContext *>(data);
	if (!ctx || !settings)
		return;
	run_guarded("Applying settings", [&] {
		// Two updates must not interleave their detach and attach.
		std::lock_guard<std::mutex> update_lock(ctx->update_mutex);
		apply_settings(ctx, settings);
	});
	if (ctx->recognizer && ctx->created)
		ctx->recognizer->retry_failed_load();
}

void source_get_defaults(obs_data_t *settings)
{
	obs_data_set_default_string(settings, "start_keywords", "старт,запись");
	obs_data_set_default_string(settings, "stop_keywords", "стоп,хватит");
	obs_data_set_default_double(settings, "silence_threshold_db", -40.0);
	obs_data_set_default_int(settings, "silence_duration_ms", 2000);
	obs_data_set_default_bool(settings, "enable_silence_stop", false);
}

obs_properties_t *source_get_properties(void *)
{
	obs_properties_t *props = obs_properties_create();
	obs_properties_add_text(props, "server_url", "Server URL", OBS_TEXT_DEFAULT);
	obs_properties_add_text(props, "start_keywords", "Start Keywords (comma separated)", OBS_TEXT_DEFAULT);
	obs_properties_add_text(props, "stop_keywords", "Stop Keywords (comma separated)", OBS_TEXT_DEFAULT);
	obs_properties_add_bool(props, "enable_silence_stop", "Stop on Silence");
	obs_properties_add_float_slider(props, "silence_threshold_db", "Silence Threshold (dB)", -60.0, 0.0, 1.0);
	obs_properties_add_int(props, "silence_duration_ms", "Silence Duration (ms)", 100, 10000, 100);
	obs_property_t *list = obs_properties_add_list(props, "target_source", "Target Audio Source",
						       OBS_COMBO_TYPE_LIST, OBS_COMBO_FORMAT_STRING);
	obs_enum_sources(add_audio_source_to_list, &list);
	return props;
}

bool add_audio_source_to_list(void *param, obs_source_t *source)
{
	auto *list = static_cast<obs_property_t **>(param);
	if (obs_source_get_output_flags(source) & OBS_SOURCE_AUDIO) {
		const char *name = obs_source_get_name(source);
		obs_property_list_add_string(*list, name, name);
	}
	return true;
}
