// SPDX-License-Identifier: GPL-3.0-or-later
#include "module/source-context.hpp"

void hotkey_trigger(void *data, obs_hotkey_id, obs_hotkey_t *, bool pressed)
{
	auto *ctx = static_cast<SourceContext *>(data);
	if (!pressed || !ctx || !ctx->takes)
		return;
	// Marks the take's start or end at the audio received so far; the source's own thread
	// logs, plays the sound and writes the file.
	ctx->takes->hotkey_pressed(host_sample_rate(ctx->sample_rate));
}
