// SPDX-License-Identifier: GPL-3.0-or-later
// Creation and teardown of one source instance.
#include "module/callback-guard.hpp"
#include "module/module-state.hpp"
#include "module/source-context.hpp"
#include "module/target.hpp"
#include "recognition/keyword-control.hpp"
#include "recognition/recognizer-worker.hpp"
#include "recognition/vosk-api.h"
#include "recording/audio-ring.hpp"
#include "recording/recording.hpp"

#include <media-io/audio-io.h>

#include <memory>
#include <new>
#include <string>

SourceContext::~SourceContext() = default;

namespace {

// A recogniser this far behind still finds every keyword in the ring.
constexpr uint32_t ring_seconds = 30;

uint32_t host_sample_rate(uint32_t fallback)
{
	const audio_output_info *info = audio_output_get_info(obs_get_audio());
	return info ? info->samples_per_sec : fallback;
}

// The worker and its result handler; the instance stays without recognition when either
// the model is missing or the worker cannot be built.
void start_recognition(SourceContext *ctx)
{
	if (!vosk_library_available())
		return;
	std::unique_ptr<char, void (*)(void *)> model_path(obs_find_module_file(module_pointer, "model"), bfree);
	if (!model_path) {
		blog(LOG_ERROR, "[Kavrel Assistant] Failed to find 'model' directory in plugin data.");
		return;
	}
	std::string path = model_path.get();
	model_path.reset();

	if (!ctx->audio_ring)
		return;
	try {
		ctx->recognizer = std::make_unique<RecognizerWorker>(
		    *ctx->audio_ring, path, static_cast<float>(ctx->sample_rate),
		    [ctx](const std::string &json, uint64_t) { handle_recognition_result(ctx, json); });
	} catch (const std::exception &e) {
		blog(LOG_ERROR, "[Kavrel Assistant] Speech recognition disabled: worker could not start: %s", e.what());
	}
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
	// Whatever a take needs from the system is had here, off the audio thread; the table
	// for the largest take is 512 KiB of address space.
	ctx->recording_buffer.reserve_table(recording_sample_limit());
	if (!ctx->recording_buffer.keep_spare_ready())
		blog(LOG_WARNING, "[Kavrel Assistant] Could not start the recording memory thread; "
				  "recordings prepare their memory on the audio thread");
	try {
		ctx->audio_ring = std::make_unique<AudioRing>(ctx->channels, ring_seconds * ctx->sample_rate);
	} catch (const std::bad_alloc &) {
		blog(LOG_ERROR, "[Kavrel Assistant] Out of memory for the audio ring; speech recognition disabled");
	}
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
	// Joins the worker thread: a result being handled finishes against an intact record.
	ctx->recognizer.reset();
	delete ctx;
}

void source_save(void *, obs_data_t *) {}

void source_load(void *data, obs_data_t *settings)
{
	source_update(data, settings);
}
