// SPDX-License-Identifier: GPL-3.0-or-later
// Runs on the host's audio thread: hands each block of the listened source to the source's
// pipeline, in slices it takes at once. No allocation, no file, no log line.
#include "module/source-context.hpp"

#include <algorithm>

void audio_capture_callback(void *param, obs_source_t *, const struct audio_data *audio, bool)
{
	auto *ctx = static_cast<SourceContext *>(param);
	if (!ctx || !audio || !ctx->takes)
		return;
	try {
		const float *planes[MAX_AV_PLANES];
		for (uint32_t done = 0; done < audio->frames || done == 0;) {
			const uint32_t frames = std::min(audio->frames - done, TakePipeline::block_frames);
			for (size_t k = 0; k < MAX_AV_PLANES; ++k)
				planes[k] =
				    audio->data[k] ? reinterpret_cast<const float *>(audio->data[k]) + done : nullptr;
			ctx->takes->audio_block(planes, MAX_AV_PLANES, frames);
			done += frames;
			if (frames == 0)
				break;
		}
	} catch (...) {
		// Nothing here throws; a callback must never let an exception into libobs all the same.
	}
}
