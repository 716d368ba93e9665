// SPDX-License-Identifier: GPL-3.0-or-later
// The whole recording path through the module loaded in libobs: audio from a source of
// ours, the hotkey through libobs, keywords through the real libvosk and the tone model.
#include "recording-rig.hpp"
#include "recording-server.hpp"

#include <gtest/gtest.h>

using rig::Rig;
using testhost::Log;
using testhost::tone;

namespace {

void with_silence_stop(obs_data_t *settings)
{
	obs_data_set_bool(settings, "enable_silence_stop", true);
	obs_data_set_double(settings, "silence_threshold_db", -40.0);
	obs_data_set_int(settings, "silence_duration_ms", 0);
}

void with_latin_keywords(obs_data_t *settings)
{
	obs_data_set_string(settings, "start_keywords", "Start");
	obs_data_set_string(settings, "stop_keywords", " STOP");
}

testhost::HostOptions with_model(const char *model)
{
	testhost::HostOptions options;
	options.model = model;
	return options;
}

uint32_t u32_at(const std::vector<uint8_t> &b, size_t at)
{
	return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 3]) << 24;
}

} // namespace

TEST(RecordingHost, HotkeyPressPressUploadsTheExactTake)
{
	auto server = testserver::RecordingServer::start();
	const std::string url = server->url("/upload");
	Rig r({}, [&](obs_data_t *settings) { obs_data_set_string(settings, "server_url", url.c_str()); });
	r.press(false); // a release does nothing
	EXPECT_FALSE(r.ctx->recording);
	r.ctx->silence_started_ns = 12345; // left over from an earlier take
	r.press();
	EXPECT_TRUE(r.ctx->recording);
	EXPECT_EQ(r.ctx->silence_started_ns, 0u);
	EXPECT_EQ(Log::with_prefix("[Brisvane]"), std::vector<std::string>{"[Brisvane] Started recording..."});
	r.press(false);
	EXPECT_TRUE(r.ctx->recording);

	// Values whose 16-bit form is known exactly: 0.5 -> 16383, -0.25 -> -8191, full scale.
	const float cycle[4] = {0.5f, -0.25f, 1.0f, 0.0f};
	std::vector<float> left(3 * 1024), right(3 * 1024, -0.5f);
	for (size_t i = 0; i < left.size(); ++i)
		left[i] = cycle[i % 4];
	for (size_t at = 0; at < left.size(); at += 1024)
		testhost::push_audio(r.mic.get(), left.data() + at, right.data() + at, 1024);
	r.press();
	EXPECT_FALSE(r.ctx->recording);

	EXPECT_TRUE(Log::contains("[Kavrel Assistant] Stopped recording. Buffer size: 6144 samples", LOG_INFO));
	const auto saved = Log::with_prefix("[Kavrel Assistant] Saved to ");
	ASSERT_EQ(saved.size(), 1u);
	const std::string path = saved[0].substr(std::string("[Kavrel Assistant] Saved to ").size());
	EXPECT_EQ(path.rfind(r.host.recordings_dir() + "/recording_", 0), 0u);
	ASSERT_TRUE(server->wait_for_requests(1));
	ASSERT_TRUE(Log::wait_for("[Brisvane] Temporary file deleted: " + path));
	EXPECT_TRUE(rig::files_in(r.host.recordings_dir()).empty());

	const std::string body = testserver::parse_request(server->requests().at(0)).body;
	const size_t at = body.find("RIFF");
	ASSERT_NE(at, std::string::npos);
	ASSERT_GE(body.size(), at + 44 + 6144 * 2);
	const std::vector<uint8_t> wav(body.begin() + long(at), body.begin() + long(at + 44 + 6144 * 2));
	EXPECT_EQ(u32_at(wav, 4), 36u + 6144u * 2u);
	EXPECT_EQ(u32_at(wav, 24), 48000u);
	EXPECT_EQ(u32_at(wav, 40), 6144u * 2u);
	const int16_t expected_left[4] = {16383, -8191, 32767, 0};
	for (size_t frame = 0; frame < 3072; ++frame) {
		const auto *s = reinterpret_cast<const int16_t *>(wav.data() + 44 + frame * 4);
		ASSERT_EQ(s[0], expected_left[frame % 4]) << frame;
		ASSERT_EQ(s[1], -16383) << frame;
	}
}

TEST(RecordingHost, SilenceStopsWithoutRecordingTheTriggeringBlock)
{
	Rig r({}, with_silence_stop);
	r.press();
	r.push(tone(440, 1024.0 / 48000));      // loud
	r.push(std::vector<float>(1024, 0.0f)); // quiet: starts the clock
	EXPECT_TRUE(r.ctx->recording);
	r.push(std::vector<float>(1024, 0.0f)); // quiet again: stops, not recorded
	EXPECT_FALSE(r.ctx->recording);
	r.push(std::vector<float>(1024, 0.0f));

	EXPECT_TRUE(Log::contains("[Kavrel Assistant] Silence detected (-100.000000 dB). Stopping...", LOG_INFO));
	EXPECT_FALSE(Log::contains("Stopped recording"));
	EXPECT_FALSE(Log::contains("Saved to"));
	EXPECT_TRUE(Log::contains("Playing stop sound") || Log::contains("Failed to play stop sound"));
	const auto files = rig::files_in(r.host.recordings_dir());
	ASSERT_EQ(files.size(), 1u);
	EXPECT_EQ(rig::read_bytes(files[0]).size(), 44u + 2u * 2u * 2048u);
	ASSERT_TRUE(Log::wait_for("[Brisvane] No URL configured."));
}

TEST(RecordingHost, SpokenStartAndStopMakeATake)
{
	for (const char *model : {"model-ru", "model-latin"}) {
		const bool latin = std::string(model) == "model-latin";
		Rig r(with_model(model), latin ? with_latin_keywords : nullptr);
		Log::clear();
		r.push(tone(500, 0.5));
		ASSERT_TRUE(r.push_silence_until("Started recording...")) << model;
		EXPECT_TRUE(Log::contains(latin ? "[Kavrel Assistant] Start keyword detected: Start"
						: "[Kavrel Assistant] Start keyword detected: старт"));
		// Past the end of the start's utterance, or the stop would join it and be ignored.
		r.push_silence_until("never logged", 1.0);
		r.push(tone(2000, 0.5));
		ASSERT_TRUE(r.push_silence_until("Saved to")) << model;
		EXPECT_TRUE(Log::contains(latin ? "[Kavrel Assistant] Stop keyword detected: STOP"
						: "[Kavrel Assistant] Stop keyword detected: стоп"));
		EXPECT_FALSE(r.ctx->recording);
		EXPECT_EQ(rig::files_in(r.host.recordings_dir()).size(), 1u);
		ASSERT_TRUE(Log::wait_for("[Brisvane] No URL configured."));
	}
}

TEST(RecordingHost, KeywordsNamedLikeResultKeysFireOnlyWhenHeard)
{
	// Keywords that stand in the JSON of every result: silence and a spoken word must not
	// start a take with either model.
	for (const char *model : {"model-ru", "model-latin"}) {
		const bool latin = std::string(model) == "model-latin";
		Rig r(with_model(model), [&](obs_data_t *settings) {
			obs_data_set_string(settings, "start_keywords", "text, result,partial,conf");
			obs_data_set_string(settings, "stop_keywords", latin ? "stop" : "стоп");
		});
		r.push(tone(2000, 0.5));
		// The stop word shows the results arrive; the final one follows the pause.
		ASSERT_TRUE(r.push_silence_until("Stop keyword detected")) << model;
		r.push_silence_until("never logged", 1.5);
		EXPECT_FALSE(r.ctx->recording) << model;
		EXPECT_FALSE(Log::contains("Start keyword detected")) << model;
	}
}

TEST(RecordingHost, StartAndStopInOneUtteranceNeverStop)
{
	Rig r(with_model("model-ru"));
	// Less than ~0.6 s apart, the two tones are one utterance: "старт стоп".
	r.push(tone(500, 0.4));
	r.push(tone(0, 0.2));
	r.push(tone(2000, 0.4));
	r.push_silence_until("never logged", 2.0);
	EXPECT_TRUE(r.ctx->recording);
	EXPECT_FALSE(Log::contains("Stop keyword detected"));

	// A later stop on its own still ends it, once.
	r.push(tone(2000, 0.4));
	ASSERT_TRUE(r.push_silence_until("Saved to"));
	EXPECT_EQ(Log::count("Start keyword detected"), 1u);
	EXPECT_EQ(Log::count("Stopped recording"), 1u);
	ASSERT_TRUE(Log::wait_for("[Brisvane] No URL configured."));
}

TEST(RecordingHost, StopKeywordWhileIdleOnlyLogsIt)
{
	Rig r(with_model("model-ru"));
	r.push(tone(2000, 0.5));
	ASSERT_TRUE(r.push_silence_until("[Kavrel Assistant] Stop keyword detected: стоп"));
	r.push_silence_until("never logged", 1.0);
	for (const auto &line : Log::with_prefix("[Kavrel Assistant]"))
		EXPECT_EQ(line, "[Kavrel Assistant] Stop keyword detected: стоп");
	EXPECT_TRUE(rig::files_in(r.host.recordings_dir()).empty());
}

TEST(RecordingHost, DestroyingMidRecordingWritesAndUploadsNothing)
{
	Rig r;
	r.press();
	r.push(tone(440, 0.2));
	EXPECT_GT(r.ctx->recording_buffer.size(), 0u);
	const std::string dir = r.host.recordings_dir();
	testutil::destroy(r.uploader);
	EXPECT_FALSE(Log::contains("Stopped recording"));
	EXPECT_FALSE(Log::contains("stop sound"));
	EXPECT_EQ(Log::with_prefix("[Brisvane]").size(), 1u); // the start line only
	EXPECT_TRUE(rig::files_in(dir).empty());
}

// Without libvosk where the module looks for it (beside it, or the package's private folder),
// the module still loads and records by hotkey; the log says why keywords are off, once.
TEST(RecordingHost, WithoutTheSpeechLibraryTheHotkeyStillRecords)
{
	testhost::TempDir folder;
	const std::string module = folder.path() + "/obs-brisvane.so";
	std::filesystem::copy_file(testhost::staged_module_path(), module);
	testhost::HostOptions options = with_model("model-ru");
	options.module_path = module;
	Rig r(options);

	std::vector<std::string> failures;
	for (const auto &line : r.setup_log) {
		if (line.text.rfind("[Vosk] Failed to load the speech library: ", 0) == 0 && line.level == LOG_ERROR)
			failures.push_back(line.text);
		EXPECT_EQ(line.text.find("Model loaded"), std::string::npos) << line.text;
	}
	ASSERT_EQ(failures.size(), 1u);
	EXPECT_NE(failures[0].find("libvosk.so"), std::string::npos) << failures[0];

	r.push(tone(500, 0.5)); // "старт" to a recogniser, were there one
	EXPECT_FALSE(r.ctx->recording);
	r.press();
	r.push(tone(440, 6144.0 / 48000));
	r.press();
	const auto files = rig::files_in(r.host.recordings_dir());
	ASSERT_EQ(files.size(), 1u);
	EXPECT_EQ(rig::read_bytes(files[0]).size(), 44u + 6144u * 2u * 2u);

	// The library is not looked for again for the next source.
	testutil::SourcePtr second = testutil::create_uploader("Second", testutil::settings_with_target("Mic").get());
	EXPECT_FALSE(Log::contains("Failed to load the speech library"));
	testutil::destroy(second);
}
