// SPDX-License-Identifier: GPL-3.0-or-later
// The demo's scenario with assertions: OBS's media source plays the bundled recording in real
// time, the uploader hears the tone keywords, F9 makes a take through libobs's key events,
// and the last take ends on silence. Each upload must be exactly a stretch of what the
// pipeline delivered, starting and ending where the recording says it should.
#include "e2e-support.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <thread>

using testhost::Log;

namespace {

constexpr double rate = 48000.0;

// Where a take lies in the delivered audio, in seconds.
struct Span {
	double start;
	double end;
};

// The end of the last stretch louder than about -40 dBFS before the given time.
double last_loud(const std::vector<int16_t> &stereo, double before)
{
	size_t frame = std::min(stereo.size() / 2, size_t(before * rate));
	while (frame > 0 && std::abs(int(stereo[2 * (frame - 1)])) < 328)
		--frame;
	return double(frame) / rate;
}

} // namespace

TEST(EndToEnd, DemoRecordingGivesThreeExactTakes)
{
	testhost::TempDir received;
	receiver::Receiver server(received.path());
	testhost::HostOptions options;
	options.model = "model-ru";
	testhost::ObsHost host(options);
	if (!e2e::load_ffmpeg())
		GTEST_SKIP() << "OBS's media source (Debian package obs-studio) is not installed";

	obs_data_t *settings = obs_data_create();
	obs_data_set_string(settings, "local_file", BRISVANE_DEMO_RECORDING);
	obs_data_set_bool(settings, "is_local_file", true);
	obs_data_set_bool(settings, "restart_on_activate", false);
	obs_source_t *player = obs_source_create("ffmpeg_source", "Demo Recording", settings, nullptr);
	obs_data_release(settings);
	auto tap = std::make_unique<e2e::Tap>(player);
	obs_source_t *uploader =
	    e2e::create_uploader("Uploader", "Demo Recording", server.url(), OBS_KEY_F9, [](obs_data_t *s) {
		    obs_data_set_bool(s, "enable_silence_stop", true);
		    obs_data_set_double(s, "silence_threshold_db", -40.0);
		    obs_data_set_int(s, "silence_duration_ms", 2000);
	    });

	// F9 at 8.3 s and 12.4 s of the recording: around its hotkey stretch.
	const double presses[] = {8.3, 12.4};
	size_t pressed = 0;
	const auto watchdog = std::chrono::steady_clock::now() + std::chrono::seconds(90);
	while (obs_source_media_get_state(player) != OBS_MEDIA_STATE_ENDED) {
		ASSERT_LT(std::chrono::steady_clock::now(), watchdog) << "the recording never ended";
		std::this_thread::sleep_for(std::chrono::milliseconds(2));
		if (pressed < 2 && double(tap->frames()) / rate >= presses[pressed]) {
			e2e::tap_key(OBS_KEY_F9);
			++pressed;
		}
	}
	ASSERT_TRUE(server.wait_for(3, std::chrono::seconds(30)));
	EXPECT_TRUE(e2e::wait_for_lines("[Brisvane] Temporary file deleted: ", 3));

	obs_source_release(uploader);
	const std::vector<int16_t> delivered = tap->samples();
	tap.reset();
	obs_source_release(player);
	testhost::ObsHost::barrier();
	EXPECT_NEAR(double(delivered.size()) / 2 / rate, 21.0, 0.05);

	const auto uploads = server.uploads();
	ASSERT_EQ(uploads.size(), 3u);
	std::vector<Span> takes;
	for (const auto &upload : uploads) {
		SCOPED_TRACE(upload.file_name);
		EXPECT_TRUE(upload.well_formed);
		EXPECT_EQ(upload.request_line, "POST /upload HTTP/1.1");
		EXPECT_EQ(upload.file_name.rfind("recording_", 0), 0u);
		uint32_t wav_rate = 0;
		uint16_t channels = 0;
		const auto samples = e2e::wav_samples(upload.content, wav_rate, channels);
		EXPECT_EQ(wav_rate, 48000u);
		EXPECT_EQ(channels, 2u);
		const size_t at = e2e::find_slice(delivered, samples);
		ASSERT_NE(at, SIZE_MAX) << "the take is not a stretch of the delivered audio";
		EXPECT_EQ(at % 2, 0u);
		takes.push_back({double(at) / 2 / rate, double(at + samples.size()) / 2 / rate});
	}

	for (const auto &t : takes)
		std::printf("take: %.3f s to %.3f s of the recording\n", t.start, t.end);

	// The bounds leave room for a loaded machine: keyword results arrive when the worker has
	// decoded them, presses when the test thread runs, and the silence clock is wall time.
	// Keywords: from the end of the 500 Hz tone (0.8-1.2 s) to the start of the 2000 Hz one
	// (6.7-7.1 s), where the recogniser placed the words.
	EXPECT_NEAR(takes[0].start, 1.2, 0.05);
	EXPECT_NEAR(takes[0].end, 6.7, 0.05);
	// Hotkey: from the first press to the second, the speech between them whole.
	EXPECT_GE(takes[1].start, 8.3);
	EXPECT_LT(takes[1].start, 8.6); // speech 2 starts at 8.6 s
	EXPECT_GE(takes[1].end, 12.4);
	EXPECT_LT(takes[1].end, 13.1);
	// Keyword start at 13.1-13.5 s, then two seconds of quiet after the speech end it.
	EXPECT_NEAR(takes[2].start, 13.5, 0.05);
	const double speech_end = last_loud(delivered, 18.0);
	EXPECT_GT(speech_end, 15.0);
	EXPECT_GT(takes[2].end, speech_end + 1.9);
	EXPECT_LT(takes[2].end, speech_end + 2.6);
	EXPECT_TRUE(Log::contains("[Kavrel Assistant] Silence detected"));

	EXPECT_TRUE(std::filesystem::is_empty(host.recordings_dir()));
}
