// SPDX-License-Identifier: GPL-3.0-or-later
// Hotkey presses, spoken keywords, silence stops and settings updates all at once on one
// instance. Meant for ThreadSanitizer; in every build it checks that each recording ends
// exactly once and that nothing deadlocks.
#include "recording-rig.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <random>
#include <thread>

using rig::Rig;
using testhost::Log;
using testhost::tone;

namespace {

void racy_settings(obs_data_t *settings, int round)
{
	obs_data_set_bool(settings, "enable_silence_stop", round % 3 != 0);
	obs_data_set_double(settings, "silence_threshold_db", round % 2 ? -40.0 : -20.0);
	obs_data_set_int(settings, "silence_duration_ms", round % 4 == 0 ? 0 : 30);
	obs_data_set_string(settings, "stop_keywords", round % 5 == 0 ? "стоп" : "стоп,хватит");
}

} // namespace

TEST(RecordingRace, EveryRecordingEndsExactlyOnce)
{
	testhost::HostOptions options;
	options.model = "model-ru";
	Rig r(options, [](obs_data_t *settings) {
		racy_settings(settings, 1);
		obs_data_set_string(settings, "target_source", "Mic");
	});

	// The presser and the updater pace themselves by the audio pushed, so a slow build
	// (ThreadSanitizer) races as much as a fast one instead of piling up takes.
	std::atomic<bool> stop{false};
	std::atomic<size_t> pushed{0};
	auto after_blocks = [&](size_t target) {
		while (!stop && pushed < target)
			std::this_thread::sleep_for(std::chrono::microseconds(200));
	};
	auto run = std::async(std::launch::async, [&] {
		std::thread presser([&] {
			std::mt19937 rng(7);
			for (size_t next = 1; !stop; next += 1 + rng() % 4) {
				after_blocks(next);
				std::this_thread::sleep_for(std::chrono::microseconds(rng() % 2000));
				r.press(rng() % 4 != 0);
			}
		});
		std::thread updater([&] {
			testutil::DataPtr settings = testutil::settings_with_target("Mic");
			for (int round = 0; !stop; ++round) {
				after_blocks(size_t(round));
				racy_settings(settings.get(), round);
				obs_source_update(r.uploader.get(), settings.get());
			}
		});
		// Spoken start and stop words between loud and quiet stretches, a block at a time.
		const std::vector<std::vector<float>> phrases = {tone(500, 0.3), tone(0, 0.7),    tone(440, 0.2),
								 tone(0, 0.1),   tone(2000, 0.3), tone(0, 0.7)};
		for (int lap = 0; lap < 2; ++lap)
			for (const auto &phrase : phrases)
				for (size_t at = 0; at < phrase.size(); at += 1024) {
					r.push(std::vector<float>(phrase.begin() + long(at),
								  phrase.begin() +
								      long(std::min(phrase.size(), at + 1024))));
					++pushed;
					std::this_thread::sleep_for(std::chrono::milliseconds(2));
				}
		stop = true;
		presser.join();
		updater.join();
	});
	if (run.wait_for(std::chrono::minutes(3)) != std::future_status::ready) {
		std::fprintf(stderr, "deadlock: the race did not finish\n");
		std::abort();
	}

	// A take may wait for its start word's place: quiet audio lets the recogniser close the
	// utterance. The lines are the source's thread's: let it catch up with what was decided.
	r.push_silence_until("never logged", 3.0);
	for (int i = 0, still = 0; i < 1000 && still < 20; ++i) {
		const uint64_t heard = r.ctx->takes->recognized_position();
		std::this_thread::sleep_for(std::chrono::milliseconds(10));
		still = r.ctx->takes->recognized_position() == heard ? still + 1 : 0;
	}
	r.ctx->takes->wait_idle();
	// Every stop cause that ends a running recording logs one of these two lines.
	const size_t starts = Log::count("Started recording...");
	const size_t ends = Log::count("Stopped recording. Buffer size") + Log::count("Silence detected");
	EXPECT_GT(starts, 3u);
	EXPECT_EQ(starts, ends + (r.ctx->takes->recording() ? 1 : 0));
	EXPECT_GT(Log::count("Stop keyword detected") + Log::count("Start keyword detected"), 0u);

	// Each saved take is handed to exactly one upload (no URL: it reports and keeps the file).
	size_t files = 0;
	for (const auto &file : rig::files_in(r.host.recordings_dir()))
		files += file.find("/recording_") != std::string::npos;
	for (int i = 0; i < 1000 && Log::count("[Brisvane] No URL configured.") < files; ++i)
		std::this_thread::sleep_for(std::chrono::milliseconds(10));
	EXPECT_EQ(Log::count("[Brisvane] No URL configured."), files);
	EXPECT_LE(files, ends);
}
