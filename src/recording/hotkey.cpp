// SPDX-License-Identifier: GPL-3.0-or-later
#include "module/source-context.hpp"
#include "recording/recording.hpp"

#include <exception>

void hotkey_trigger(void *data, obs_hotkey_id, obs_hotkey_t *, bool pressed)
{
	if (!pressed)
		return;
	auto *ctx = static_cast<SourceContext *>(data);
	try {
		// The unlocked read only picks a branch; each branch checks again under the lock, so a
		// press racing a keyword or silence stop never ends or starts a recording twice.
		if (ctx->recording) {
			std::lock_guard<std::mutex> lock(ctx->mutex);
			finish_recording(ctx, StopCause::Hotkey);
		} else {
			std::lock_guard<std::mutex> lock(ctx->mutex);
			if (!ctx->recording) {
				begin_recording(ctx);
				blog(LOG_INFO, "[Brisvane] Started recording...");
				play_start_sound();
			}
		}
	} catch (const std::exception &e) {
		blog(LOG_ERROR, "[Brisvane] Hotkey failed: %s", e.what());
	} catch (...) {
		blog(LOG_ERROR, "[Brisvane] Hotkey failed");
	}
}
