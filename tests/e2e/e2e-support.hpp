// SPDX-License-Identifier: GPL-3.0-or-later
// The whole job inside real libobs: uploaders with keys bound to their hotkey, OBS's own
// media source, a tap that keeps what the pipeline delivered, and the demo's receiver.
#pragma once

#include "obs-host.hpp"
#include "receiver.hpp"

#include <obs.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace e2e {

// Loads OBS's obs-ffmpeg plug-in (ffmpeg_source) into the running host; false if missing.
bool load_ffmpeg();

// An uploader listening to target, posting to url, with key bound to its hotkey the way OBS
// stores bindings.
obs_source_t *create_uploader(const char *name, const char *target, const std::string &url, obs_key_t key,
			      const std::function<void(obs_data_t *)> &configure = {});

// A press and a release through libobs's key event path, as a person would tap the key.
void tap_key(obs_key_t key);

// Keeps every block a source delivers to capture callbacks, converted to 16 bits the way the
// plug-in converts them, two channels interleaved.
class Tap {
public:
	explicit Tap(obs_source_t *source);
	~Tap();
	Tap(const Tap &) = delete;
	Tap &operator=(const Tap &) = delete;
	uint64_t frames() const;
	std::vector<int16_t> samples() const;

private:
	static void capture(void *param, obs_source_t *, const audio_data *audio, bool);
	obs_source_t *source_;
	mutable std::mutex mutex_;
	std::vector<int16_t> samples_;
};

// The samples of a 16-bit PCM WAV (empty if it is not one).
std::vector<int16_t> wav_samples(const std::vector<uint8_t> &wav, uint32_t &rate, uint16_t &channels);

// Where part occurs in whole (in values), or SIZE_MAX.
size_t find_slice(const std::vector<int16_t> &whole, const std::vector<int16_t> &part);

// Waits until n log lines contain text; false after the timeout.
bool wait_for_lines(const std::string &text, size_t n, std::chrono::seconds timeout = std::chrono::seconds(10));

// The path named by the first "[Kavrel Assistant] Saved to " line, or empty.
std::string saved_path(size_t index = 0);

} // namespace e2e
