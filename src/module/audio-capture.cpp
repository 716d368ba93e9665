// SPDX-License-Identifier: GPL-3.0-or-later
// Runs on the host's audio thread: converts each block into the source's ring and marks where
// silence ends a take. No allocation, no file, no log line, no lock held by anything slower
// than a copy.
#include "module/source-context.hpp"
#include "recognition/recognizer-worker.hpp"
#include "recording/audio-convert.hpp"

#include <algorithm>

namespace {

void capture_slice(SourceContext *ctx, const float *const *planes, uint32_t frames)
{
	const uint16_t channels = ctx->channels;
	int16_t *samples = ctx->block_samples.data();
	TakePipeline *takes = ctx->takes.get();
	const bool timing_silence =
	    takes && ctx->enable_silence_stop.load(std::memory_order_relaxed) && takes->recording();
	const BlockEnergy energy = convert_block(planes, MAX_AV_PLANES, frames, channels, samples, timing_silence);
	// A block that ends a take is not part of it: its position is where the take ends.
	if (timing_silence)
		takes->silence_block(ctx->audio_ring->end(), block_level_db(energy),
				     ctx->silence_threshold_db.load(std::memory_order_relaxed),
				     ctx->silence_duration_ms.load(std::memory_order_relaxed));
	ctx->audio_ring->write(samples, frames);
	if (takes)
		takes->audio_written(ctx->audio_ring->end());

	if (RecognizerWorker *worker = ctx->recognizer.get())
		worker->notify();
}

} // namespace

void audio_capture_callback(void *param, obs_source_t *, const struct audio_data *audio, bool)
{
	auto *ctx = static_cast<SourceContext *>(param);
	if (!ctx || !audio || !ctx->audio_ring)
		return;
	try {
		const float *planes[MAX_AV_PLANES];
		for (uint32_t done = 0; done < audio->frames || done == 0;) {
			const uint32_t frames = std::min(audio->frames - done, capture_slice_frames);
			for (size_t k = 0; k < MAX_AV_PLANES; ++k)
				planes[k] =
				    audio->data[k] ? reinterpret_cast<const float *>(audio->data[k]) + done : nullptr;
			capture_slice(ctx, planes, frames);
			done += frames;
			if (frames == 0)
				break;
		}
	} catch (...) {
		// Nothing here throws; a callback must never let an exception into libobs all the same.
	}
}
