// SPDX-License-Identifier: GPL-3.0-or-later
// Settings of one instance and the properties window.
#include "module/callback-guard.hpp"
#include "module/source-context.hpp"
#include "module/status.hpp"
#include "module/target.hpp"

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
	// Everything that can allocate or call the host happens before the lock.
	std::string server_url = read_string(settings, "server_url");
	std::string access_token = read_string(settings, "access_token");
	std::string start_keywords = read_string(settings, "start_keywords");
	std::string stop_keywords = read_string(settings, "stop_keywords");
	bool enable_silence_stop = obs_data_get_bool(settings, "enable_silence_stop");
	auto silence_threshold_db = static_cast<float>(obs_data_get_double(settings, "silence_threshold_db"));
	// Only the low 32 bits are kept, as the field is 32-bit.
	auto silence_duration_ms =
	    static_cast<int32_t>(static_cast<uint32_t>(obs_data_get_int(settings, "silence_duration_ms")));
	const std::string target_name = read_string(settings, "target_source");

	ctx->enable_silence_stop = enable_silence_stop;
	ctx->silence_threshold_db = silence_threshold_db;
	ctx->silence_duration_ms = silence_duration_ms;
	if (ctx->takes) {
		ctx->takes->set_silence_stop(enable_silence_stop, silence_threshold_db, silence_duration_ms);
		ctx->takes->set_keywords(start_keywords, stop_keywords);
		ctx->takes->set_server(TakeServer(server_url, access_token));
	}
	{
		std::lock_guard<std::mutex> lock(ctx->mutex);
		ctx->server_url = std::move(server_url);
		ctx->access_token = std::move(access_token);
		ctx->start_keywords = std::move(start_keywords);
		ctx->stop_keywords = std::move(stop_keywords);
	}
	set_target_name(ctx, target_name);
}

} // namespace

void source_update(void *data, obs_data_t *settings)
{
	auto *ctx = static_cast<SourceContext *>(data);
	if (!ctx || !settings)
		return;
	run_guarded("Applying settings", [&] { apply_settings(ctx, settings); });
	if (ctx->takes && ctx->created)
		ctx->takes->retry_failed_model_load();
}

void source_get_defaults(obs_data_t *settings)
{
	obs_data_set_default_string(settings, "start_keywords", "старт,запись");
	obs_data_set_default_string(settings, "stop_keywords", "стоп,хватит");
	obs_data_set_default_double(settings, "silence_threshold_db", -40.0);
	obs_data_set_default_int(settings, "silence_duration_ms", 2000);
	obs_data_set_default_bool(settings, "enable_silence_stop", false);
}

obs_properties_t *source_get_properties(void *data)
{
	obs_properties_t *props = obs_properties_create();
	obs_properties_add_text(props, "server_url", obs_module_text("Brisvane.ServerUrl"), OBS_TEXT_DEFAULT);
	obs_properties_add_text(props, "start_keywords", obs_module_text("Brisvane.StartKeywords"), OBS_TEXT_DEFAULT);
	obs_properties_add_text(props, "stop_keywords", obs_module_text("Brisvane.StopKeywords"), OBS_TEXT_DEFAULT);
	obs_properties_add_bool(props, "enable_silence_stop", obs_module_text("Brisvane.StopOnSilence"));
	obs_properties_add_float_slider(props, "silence_threshold_db", obs_module_text("Brisvane.SilenceThreshold"),
					-60.0, 0.0, 1.0);
	obs_properties_add_int(props, "silence_duration_ms", obs_module_text("Brisvane.SilenceDuration"), 100, 10000,
			       100);
	obs_property_t *list = obs_properties_add_list(props, "target_source", obs_module_text("Brisvane.TargetSource"),
						       OBS_COMBO_TYPE_LIST, OBS_COMBO_FORMAT_STRING);
	obs_enum_sources(add_audio_source_to_list, &list);
	// Shown as dots: it ends up in screenshots and streams.
	obs_properties_add_text(props, "access_token", obs_module_text("Brisvane.AccessToken"), OBS_TEXT_PASSWORD);
	run_guarded("Showing the status", [&] { add_status_properties(props, static_cast<SourceContext *>(data)); });
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
