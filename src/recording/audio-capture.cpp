// SPDX-License-Identifier: GPL-3.0-or-later
// Runs on the host's audio thread: everything here must stay cheap, bounded and non-throwing.
#include "module/source-context.hpp"
#include "recognition/recognizer-worker.hpp"
#include "recording/audio-ring.hpp"
#include "recording/audio-convert.hpp"
#include "recording/recording.hpp"
#include "recording/wav.hpp"

#include <util/platform.h>

#include <algorithm>
#include <atomic>
#include <exception>
#include <new>
#include <utility>

namespace {

void append_to_recording(SourceContext *ctx, const int16_t *samples, size_t count)
{
	if (ctx->recording_full)
		return;
	const uint64_t limit = std::min(recording_sample_limit(), wav_max_samples(ctx->channels));
	const uint64_t stored = ctx->recording_buffer.size();
	// Whole frames only, so the file stays a valid interleaved stream.
	const uint64_t room = (limit - std::min(limit, stored)) / ctx->channels * ctx->channels;
	const size_t take = size_t(std::min<uint64_t>(count, room));
	try {
		ctx->recording_buffer.append(samples, take);
	} catch (const std::bad_alloc &) {
		ctx->recording_full = true;
		blog(LOG_WARNING, "[Kavrel Assistant] Out of memory: the recording keeps its first %zu samples",
		     ctx->recording_buffer.size());
		return;
	}
	if (take < count) {
		ctx->recording_full = true;
		blog(LOG_WARNING,
		     "[Kavrel Assistant] Recording reached the largest size a WAV file can hold (%zu samples); "
		     "later audio is not recorded",
		     ctx->recording_buffer.size());
	}
}

void capture_block(SourceContext *ctx, const audio_data &audio)
{
	const uint32_t frames = audio.frames;
	const uint16_t channels = ctx->channels;
	const size_t count = size_t(frames) * channels;
	// Scratch grows to the largest block seen and is then reused.
	if (ctx->block_samples.size() < count)
		ctx->block_samples.resize(count);
	int16_t *samples = ctx->block_samples.data();

	const float *planes[MAX_AV_PLANES];
	for (size_t k = 0; k < MAX_AV_PLANES; ++k)
		planes[k] = reinterpret_cast<const float *>(audio.data[k]);
	const bool timing_silence = ctx->recording && ctx->enable_silence_stop;
	const BlockEnergy energy = convert_block(planes, MAX_AV_PLANES, frames, channels, samples, timing_silence);

	if (timing_silence) {
		const float level = block_level_db(energy);
		if (silence_step(ctx->silence_started_ns, level, ctx->silence_threshold_db, ctx->silence_duration_ms,
				 os_gettime_ns) == SilenceStep::Stop) {
			blog(LOG_INFO, "[Kavrel Assistant] Silence detected (%f dB). Stopping...", double(level));
			finish_recording(ctx, StopCause::Silence);
		}
	}

	if (ctx->audio_ring) {
		ctx->audio_ring->write(samples, frames);
		if (RecognizerWorker *worker = ctx->recognizer.get())
			worker->notify();
	}

	if (ctx->recording)
		append_to_recording(ctx, samples, count);
}

void log_dropped_block(const char *what)
{
	// Under memory pressure this could fail on every block; log 1st, 2nd, 4th, 8th, ... only.
	static std::atomic<uint64_t> dropped{0};
	const uint64_t n = ++dropped;
	if ((n & (n - 1)) == 0)
		blog(LOG_WARNING, "[Kavrel Assistant] Audio block dropped (%s); %llu so far", what,
		     static_cast<unsigned long long>(n));
}

} // namespace

void audio_capture_callback(void *param, obs_source_t *, const struct audio_data *audio, bool)
{
	auto *ctx = static_cast<SourceContext *>(param);
	if (!ctx || !audio)
		return;
	try {
		std::lock_guard<std::mutex> lock(ctx->mutex);
		capture_block(ctx, *audio);
	} catch (const std::exception &e) {
		log_dropped_block(e.what());
	} catch (...) {
		log_dropped_block("unknown error");
	}
}
