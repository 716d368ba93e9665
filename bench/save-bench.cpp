// SPDX-License-Identifier: GPL-3.0-or-later
// Time to save one take as the audio thread does (finish_recording with the lock held),
// into the configuration folder under the given directory. Not a test: it prints figures.
//   build/bench/save-bench DIR [minutes] [runs]
// Prints one line per run: "save <bytes> <milliseconds>".
#include "silent-sounds.hpp"
#include "module/source-context.hpp"
#include "platform/sound.hpp"
#include "recognition/recognizer-worker.hpp"
#include "recording/recording.hpp"

#include <obs.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <thread>
#include <vector>

namespace {

using testhost::SilentSounds;

void quiet_log(int, const char *, va_list, void *) {}

} // namespace

int main(int argc, char **argv)
{
	if (argc < 2) {
		std::fprintf(stderr, "usage: %s DIR [minutes] [runs]\n", argv[0]);
		return 2;
	}
	const double minutes = argc > 2 ? std::atof(argv[2]) : 10.0;
	const int runs = argc > 3 ? std::atoi(argv[3]) : 3;
	setenv("XDG_CONFIG_HOME", argv[1], 1);
	base_set_log_handler(quiet_log, nullptr);
	SilentSounds sounds;
	platform::set_sound_layer(&sounds);

	// Stereo at 48 kHz, filled a block at a time as the capture callback does.
	const size_t values = size_t(minutes * 60.0 * 48000) * 2;
	std::vector<int16_t> block(2048);
	for (size_t i = 0; i < block.size(); ++i)
		block[i] = int16_t((i * 37) % 20000 - 10000);
	SourceContext ctx; // no server: the upload keeps the file, which is removed below
	ctx.sample_rate = 48000;
	const std::string dir = std::string(argv[1]) + "/obs-brisvane";
	for (int r = 0; r < runs; ++r) {
		std::lock_guard<std::mutex> lock(ctx.mutex);
		ctx.recording_buffer.clear();
		for (size_t n = 0; n < values; n += block.size())
			ctx.recording_buffer.append(block.data(), std::min(block.size(), values - n));
		ctx.recording = true;
		const auto t0 = std::chrono::steady_clock::now();
		finish_recording(&ctx, StopCause::Silence);
		const double ms =
		    std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
		std::printf("save %zu %.1f\n", size_t(44 + values * 2), ms);
		std::fflush(stdout);
		// Wait for the upload thread to give up on the missing URL before removing the file.
		std::this_thread::sleep_for(std::chrono::milliseconds(200));
		std::error_code ec;
		for (const auto &entry : std::filesystem::directory_iterator(dir, ec))
			std::filesystem::remove(entry.path(), ec);
	}
	platform::set_sound_layer(nullptr);
	return 0;
}
