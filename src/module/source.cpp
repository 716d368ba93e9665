// SPDX-License-Identifier: GPL-3.0-or-later
// Creation and teardown of one source instance.
#include "module/callback-guard.hpp"
#include "module/module-state.hpp"
#include "module/source-context.hpp"
#include "module/target.hpp"

#include <media-io/audio-io.h>

#include <algorithm>
#include <memory>
#include <new>
#include <string>

SourceContext::~SourceContext() = default;

uint32_t host_sample_rate(uint32_t fallback)
{
	const audio_output_info *info = audio_output_get_info(obs_get_audio());
	return info ? info->samples_per_sec : fallback;
}

namespace {

// The instance stays without recognition when the library or the model is missing.
void start_recognition(SourceContext *ctx)
{
	if (!TakePipeline::speech_library_available()) {
		ctx->speech_setup = SourceContext::SpeechSetup::NoLibrary;
		return;
	}
	std::unique_ptr<char, void (*)(void *)> model_path(obs_find_module_file(module_pointer, "model"), bfree);
	if (!model_path) {
		if (const char *data = obs_get_module_data_path(module_pointer))
			ctx->model_folder = std::string(data) + "/model";
		ctx->speech_setup = SourceContext::SpeechSetup::NoModel;
		blog(LOG_ERROR, "[Kavrel Assistant] Failed to find 'model' directory in plugin data.");
		return;
	}
	std::string path = model_path.get();
	model_path.reset();

	ctx->model_folder = path;
	ctx->takes->start_recognition(path);
	ctx->speech_setup = SourceContext::SpeechSetup::Started;
}

} // namespace

void *source_create(obs_data_t *settings, obs_source_t *source)
{
	SourceContext *ctx = nullptr;
	try {
		ctx = new SourceContext();
	} catch (const std::bad_alloc &) {
		// libobs keeps a source whose create returned null, and never calls us with it.
		blog(LOG_ERROR, "[Kavrel Assistant] Out of memory creating a source instance.");
		return nullptr;
	}
	ctx->source = source;
	ctx->sample_rate = host_sample_rate(ctx->sample_rate);
	// All the memory the audio thread will use, had here.
	try {
		ctx->takes = std::make_unique<TakePipeline>(ctx->channels, ctx->sample_rate,
							    TakePipeline::Sounds{play_start_sound, play_stop_sound});
	} catch (const std::bad_alloc &) {
		blog(LOG_ERROR, "[Kavrel Assistant] Out of memory creating a source instance.");
		delete ctx;
		return nullptr;
	} catch (const std::exception &e) {
		blog(LOG_ERROR,
		     "[Kavrel Assistant] Could not start the recording thread; this source cannot record: %s",
		     e.what());
	}
	if (ctx->takes)
		run_guarded("Starting speech recognition", [&] { start_recognition(ctx); });
	ctx->hotkey_id = obs_hotkey_register_source(source, "Brisvane.Trigger", obs_module_text("Brisvane.Trigger"),
						    hotkey_trigger, ctx);
	follow_target(ctx);
	source_update(ctx, settings);
	ctx->created = true;
	return ctx;
}

void source_destroy(void *data)
{
	auto *ctx = static_cast<SourceContext *>(data);
	if (!ctx)
		return;
	// libobs drops a source's hotkeys only after this callback returns; a press arriving
	// meanwhile would reach freed memory.
	if (ctx->hotkey_id != OBS_INVALID_HOTKEY_ID) {
		obs_hotkey_unregister(ctx->hotkey_id);
		ctx->hotkey_id = OBS_INVALID_HOTKEY_ID;
	}
	// The source signals come on other threads: none may reach the record once it is gone.
	unfollow_target(ctx);
	// Stops recognition, finishes a running take like a hotkey stop without the sound, joins.
	ctx->takes.reset();
	delete ctx;
}

void source_save(void *, obs_data_t *) {}

void source_load(void *data, obs_data_t *settings)
{
	source_update(data, settings);
}
