// SPDX-License-Identifier: GPL-3.0-or-later
// Creation and teardown of one source instance.
#include "module/callback-guard.hpp"
#include "module/module-state.hpp"
#include "module/source-context.hpp"
#include "module/target.hpp"
#include "recognition/keyword-control.hpp"
#include "recognition/recognised-text.hpp"
#include "recognition/recognizer-worker.hpp"
#include "recognition/vosk-api.h"

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

void handle_recognition_result(SourceContext *ctx, const std::string &text, uint64_t position)
{
	try {
		std::string starts, stops;
		{
			std::lock_guard<std::mutex> lock(ctx->mutex);
			starts = ctx->start_keywords;
			stops = ctx->stop_keywords;
		}
		// Only the words heard are searched: the JSON around them holds keys such as "text"
		// in every result, silence included.
		const KeywordMatch match = match_keywords(starts, stops, recognised_text(text));
		if (!ctx->takes || match.kind == KeywordKind::None)
			return;
		if (match.kind == KeywordKind::Start)
			ctx->takes->keyword_start(match.keyword, position, host_sample_rate(ctx->sample_rate));
		else
			ctx->takes->keyword_stop(match.keyword, position);
	} catch (const std::exception &e) {
		blog(LOG_ERROR, "[Kavrel Assistant] Recognition result dropped: %s", e.what());
	}
}

namespace {

// The recent audio kept for the takes and a recogniser that lags behind.
constexpr uint32_t ring_seconds = 30;

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

	try {
		ctx->recognizer =
		    std::make_unique<RecognizerWorker>(*ctx->audio_ring, path, static_cast<float>(ctx->sample_rate),
						       [ctx](const std::string &json, uint64_t position) {
							       handle_recognition_result(ctx, json, position);
						       });
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
	// All the memory the audio thread will use, had here.
	try {
		ctx->audio_ring = std::make_unique<AudioRing>(
		    ctx->channels, std::max<uint32_t>(ctx->sample_rate, 8000) * ring_seconds);
		ctx->block_samples.assign(size_t(capture_slice_frames) * ctx->channels, 0);
	} catch (const std::bad_alloc &) {
		blog(LOG_ERROR, "[Kavrel Assistant] Out of memory creating a source instance.");
		delete ctx;
		return nullptr;
	}
	try {
		ctx->takes = std::make_unique<TakePipeline>(*ctx->audio_ring,
							    TakePipeline::Sounds{play_start_sound, play_stop_sound});
	} catch (const std::exception &e) {
		blog(LOG_ERROR,
		     "[Kavrel Assistant] Could not start the recording thread; this source cannot record: %s",
		     e.what());
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
	// A running take is finished like a hotkey stop without the sound, then the thread joined.
	ctx->takes.reset();
	delete ctx;
}

void source_save(void *, obs_data_t *) {}

void source_load(void *data, obs_data_t *settings)
{
	source_update(data, settings);
}
