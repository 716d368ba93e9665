// SPDX-License-Identifier: GPL-3.0-or-later
// The start and the end of a recording, shared by the keyword, the hotkey and silence.
#include "module/source-context.hpp"
#include "recording/recording.hpp"
#include "recording/wav.hpp"
#include "upload/upload.hpp"

#include <util/platform.h>

#include <ctime>

uint64_t &recording_sample_limit()
{
	// A capped take must still go out: the upload declares its body in one 32-bit count, and
	// the 44-byte header, the 171 bytes of framing and the file name (64 allowed) come on top.
	static uint64_t limit = (uint64_t(UINT32_MAX) - 44 - 171 - 64) / 2 / 2 * 2;
	return limit;
}

void begin_recording(SourceContext *ctx)
{
	// Keep the previous rate if the host has no audio output to ask.
	if (const audio_output_info *info = audio_output_get_info(obs_get_audio()))
		ctx->sample_rate = info->samples_per_sec;
	ctx->recording_buffer.clear();
	ctx->recording_full = false;
	ctx->recording = true;
	ctx->silence_started_ns = 0;
}

namespace {

void log_stopped(const SourceContext *ctx)
{
	blog(LOG_INFO, "[Kavrel Assistant] Stopped recording. Buffer size: %zu samples", ctx->recording_buffer.size());
}

} // namespace

void finish_recording(SourceContext *ctx, StopCause cause)
{
	if (!ctx->recording)
		return;
	ctx->recording = false;

	switch (cause) {
	case StopCause::Hotkey:
		play_stop_sound();
		log_stopped(ctx);
		break;
	case StopCause::Keyword:
		log_stopped(ctx);
		play_stop_sound();
		break;
	case StopCause::Silence:
		play_stop_sound();
		break;
	}

	if (ctx->recording_buffer.empty())
		return;

	char dir[512] = "";
	os_get_config_path(dir, sizeof(dir), "obs-brisvane");
	os_mkdirs(dir);
	const std::string path = reserve_recording_path(dir, int64_t(std::time(nullptr)));

	bool created = false;
	if (!write_wav_file(path, ctx->recording_buffer, ctx->channels, ctx->sample_rate, &created)) {
		if (!created) {
			// Whatever ended it, a take that could not be saved is news to the user.
			blog(LOG_ERROR, "[Kavrel Assistant] Failed to create file: %s", path.c_str());
			return;
		}
		// A short file must not be uploaded and then deleted as if it held the take: keep
		// what reached the disk and say so.
		blog(LOG_ERROR, "[Kavrel Assistant] Failed to write file, partial file kept: %s", path.c_str());
		return;
	}
	if (cause != StopCause::Silence)
		blog(LOG_INFO, "[Kavrel Assistant] Saved to %s", path.c_str());
	upload_file_async(path, ctx->server_url); // never throws: a failed dispatch is logged there
}
