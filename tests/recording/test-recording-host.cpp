// SPDX-License-Identifier: GPL-3.0-or-later
// The whole recording path through the module loaded in libobs: audio from a source of
// ours, the hotkey through libobs, keywords through the real libvosk and the tone model.
#include "recording-rig.hpp"
#include "recording-server.hpp"

#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

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

// Seconds of a WAV take (left channel) in which a keyword tone, 500 or 2000 Hz, dominates.
double keyword_seconds_in(const std::string &path)
{
	const auto bytes = rig::read_bytes(path);
	const size_t frames = (bytes.size() - 44) / 4, window = 480;
	double seconds = 0;
	for (size_t at = 0; at + window <= frames; at += window) {
		double energy = 0, re[2] = {}, im[2] = {};
		for (size_t i = 0; i < window; ++i) {
			int16_t s;
			std::memcpy(&s, &bytes[44 + (at + i) * 4], 2);
			energy += double(s) * s;
			for (int k = 0; k < 2; ++k) {
				const double phase = 2 * M_PI * (k ? 2000.0 : 500.0) * double(i) / 48000;
				re[k] += s * std::cos(phase);
				im[k] += s * std::sin(phase);
			}
		}
		const double tone =
		    2 * (re[0] * re[0] + im[0] * im[0] + re[1] * re[1] + im[1] * im[1]) / double(window);
		if (energy > 0 && tone > 0.5 * energy)
			seconds += double(window) / 48000;
	}
	return seconds;
}

} // namespace

TEST(RecordingHost, HotkeyPressPressUploadsTheExactTake)
{
	auto server = testserver::RecordingServer::start();
	const std::string url = server->url("/upload");
	Rig r({}, [&](obs_data_t *settings) { obs_data_set_string(settings, "server_url", url.c_str()); });
	r.press(false); // a release does nothing
	EXPECT_FALSE(r.ctx->takes->recording());
	r.press();
	EXPECT_TRUE(r.ctx->takes->recording());
	r.ctx->takes->wait_idle();
	EXPECT_EQ(Log::with_prefix("[Brisvane]"), std::vector<std::string>{"[Brisvane] Started recording..."});
	r.press(false);
	EXPECT_TRUE(r.ctx->takes->recording());

	// Values whose 16-bit form is known exactly: 0.5 -> 16383, -0.25 -> -8191, full scale.
	const float cycle[4] = {0.5f, -0.25f, 1.0f, 0.0f};
	std::vector<float> left(3 * 1024), right(3 * 1024, -0.5f);
	for (size_t i = 0; i < left.size(); ++i)
		left[i] = cycle[i % 4];
	for (size_t at = 0; at < left.size(); at += 1024)
		testhost::push_audio(r.mic.get(), left.data() + at, right.data() + at, 1024);
	r.press();
	EXPECT_FALSE(r.ctx->takes->recording());
	r.ctx->takes->wait_idle();

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
	EXPECT_TRUE(r.ctx->takes->recording());
	r.push(std::vector<float>(1024, 0.0f)); // quiet again: stops, not recorded
	EXPECT_FALSE(r.ctx->takes->recording());
	r.push(std::vector<float>(1024, 0.0f));
	r.ctx->takes->wait_idle();

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
		// What is said between the words is the take.
		r.push(testhost::noise(0.5, 0.05f));
		r.push(tone(2000, 0.5));
		ASSERT_TRUE(r.push_silence_until("Saved to")) << model;
		EXPECT_TRUE(Log::contains(latin ? "[Kavrel Assistant] Stop keyword detected: STOP"
						: "[Kavrel Assistant] Stop keyword detected: стоп"));
		EXPECT_FALSE(r.ctx->takes->recording());
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
		EXPECT_FALSE(r.ctx->takes->recording()) << model;
		EXPECT_FALSE(Log::contains("Start keyword detected")) << model;
	}
}

TEST(RecordingHost, EachSpokenKeywordActsOnceAndTheTakeHoldsWhatWasSaidBetween)
{
	// The take lies between the words, which stay out of it; start and stop said in one
	// breath, a quarter of a second apart, still end the take.
	for (const double between : {1.0, 0.25}) {
		Rig r(with_model("model-ru"));
		Log::clear();
		r.push(tone(500, 0.4));
		r.push(testhost::noise(between, 0.05f));
		r.push(tone(2000, 0.4));
		ASSERT_TRUE(r.push_silence_until("Saved to")) << between;
		r.push_silence_until("never logged", 1.5);
		EXPECT_FALSE(r.ctx->takes->recording()) << between;
		EXPECT_EQ(Log::count("Start keyword detected: старт"), 1u) << between;
		EXPECT_EQ(Log::count("Stop keyword detected: стоп"), 1u) << between;
		const auto files = rig::files_in(r.host.recordings_dir());
		ASSERT_EQ(files.size(), 1u) << between;
		const double seconds = double(rig::read_bytes(files[0]).size() - 44) / 4 / 48000;
		EXPECT_NEAR(seconds, between, 0.1) << between;
		const double keyword = keyword_seconds_in(files[0]);
		std::printf("keywords %.2f s apart: take %.3f s, of it keyword audio %.3f s\n", between, seconds,
			    keyword);
		EXPECT_LE(keyword, 0.1) << between;
	}
}

TEST(RecordingHost, AStartWordStillHeardAfterTheHotkeyStopStartsNothing)
{
	// Stopped by the hotkey while the start word's utterance is still open; then with silence
	// stop at 300 ms, where the repeated word used to start a second take of nothing.
	for (const bool silence_stop : {false, true}) {
		Rig r(with_model("model-ru"), [&](obs_data_t *settings) {
			obs_data_set_bool(settings, "enable_silence_stop", silence_stop);
			obs_data_set_int(settings, "silence_duration_ms", 300);
		});
		Log::clear();
		r.push(tone(500, 0.4));
		ASSERT_TRUE(r.push_silence_until("Started recording...")) << silence_stop;
		if (r.ctx->takes->recording())
			r.press();
		r.push(testhost::noise(1.0, 0.05f));
		r.push_silence_until("never logged", 2.0);
		r.ctx->takes->wait_idle();
		EXPECT_FALSE(r.ctx->takes->recording()) << silence_stop;
		EXPECT_EQ(Log::count("Started recording..."), 1u) << silence_stop;
		EXPECT_LE(rig::files_in(r.host.recordings_dir()).size(), 1u) << silence_stop;
	}
}

TEST(RecordingHost, StopKeywordWhileIdleOnlyLogsIt)
{
	Rig r(with_model("model-ru"));
	r.push(tone(2000, 0.5));
	ASSERT_TRUE(r.push_silence_until("[Kavrel Assistant] Stop keyword detected: стоп"));
	r.push_silence_until("never logged", 1.0);
	// Once for the one word, not once per result that repeats it.
	EXPECT_EQ(Log::with_prefix("[Kavrel Assistant]"),
		  std::vector<std::string>{"[Kavrel Assistant] Stop keyword detected: стоп"});
	EXPECT_TRUE(rig::files_in(r.host.recordings_dir()).empty());
}

// Quitting OBS, changing the scene collection or removing the source mid-take keeps the take.
TEST(RecordingHost, DestroyingMidRecordingFinishesTheTakeWithoutTheStopSound)
{
	Rig r;
	r.press();
	r.push(tone(440, 1024.0 / 48000 * 10));
	const std::string dir = r.host.recordings_dir();
	testutil::destroy(r.uploader);
	EXPECT_TRUE(Log::contains("[Kavrel Assistant] Stopped recording. Buffer size: 20480 samples"));
	EXPECT_FALSE(Log::contains("stop sound"));
	const auto saved = Log::with_prefix("[Kavrel Assistant] Saved to ");
	ASSERT_EQ(saved.size(), 1u);
	const auto files = rig::files_in(dir);
	ASSERT_EQ(files.size(), 1u);
	EXPECT_EQ(saved[0], "[Kavrel Assistant] Saved to " + files[0]);
	EXPECT_EQ(rig::read_bytes(files[0]).size(), 44u + 20480u * 2u);
	ASSERT_TRUE(Log::wait_for("[Brisvane] No URL configured."));
}

// Ten minutes pushed through libobs many times faster than real time: the file holds every
// sample exactly, and the take was written while it ran, not at the stop.
TEST(RecordingHost, TenMinuteTakeStreamedFasterThanRealTimeIsExact)
{
	Rig r;
	r.press();
	const uint32_t frames = 1024;
	const size_t blocks = 10 * 60 * 48000 / frames;
	// Sample n of the left channel cycles through the 16-bit range; the right is its mirror.
	auto value = [](uint64_t n) { return float(int64_t(n * 7919 % 65535) - 32767) / 32768.0f; };
	auto pcm = [](float x) { return int16_t(int32_t(std::max(-1.0f, std::min(1.0f, x)) * 32767.0f)); };
	std::vector<float> left(frames), right(frames);
	const auto started = std::chrono::steady_clock::now();
	bool written_while_running = false;
	for (size_t b = 0; b < blocks; ++b) {
		for (uint32_t i = 0; i < frames; ++i) {
			left[i] = value(b * frames + i);
			right[i] = -left[i];
		}
		testhost::push_audio(r.mic.get(), left.data(), right.data(), frames);
		// Fifty times real time: a stalled machine still has over half a second in hand.
		const auto due =
		    started + std::chrono::microseconds(int64_t(double(b + 1) * frames / 48000 * 1e6 / 50));
		std::this_thread::sleep_until(due);
		if (b == blocks / 2) {
			for (const auto &file : rig::files_in(r.host.recordings_dir()))
				written_while_running |=
				    std::filesystem::file_size(file) > 44u + 4u * frames * blocks / 4;
		}
	}
	// The source's thread is held at its next log line (the stop's own): the press must return
	// all the same, with the take decided and not yet saved.
	Log::hold_others(true);
	r.press();
	EXPECT_FALSE(r.ctx->takes->recording());
	std::vector<std::string> names;
	for (const auto &file : rig::files_in(r.host.recordings_dir()))
		names.push_back(std::filesystem::path(file).filename().string());
	Log::hold_others(false);
	ASSERT_EQ(names.size(), 1u);
	EXPECT_EQ(names[0].rfind("unfinished_", 0), 0u) << "the stop waited for the save";
	EXPECT_TRUE(written_while_running) << "the first minutes were on disk before the stop";
	r.ctx->takes->wait_idle();

	const auto files = rig::files_in(r.host.recordings_dir());
	ASSERT_EQ(files.size(), 1u);
	EXPECT_NE(files[0].find("/recording_"), std::string::npos);
	std::ifstream in(files[0], std::ios::binary);
	std::vector<uint8_t> header(44);
	in.read(reinterpret_cast<char *>(header.data()), 44);
	EXPECT_EQ(u32_at(header, 40), blocks * frames * 4);
	EXPECT_EQ(std::filesystem::file_size(files[0]), 44 + blocks * frames * 4);
	std::vector<int16_t> got(2 * frames);
	for (size_t b = 0; b < blocks; ++b) {
		in.read(reinterpret_cast<char *>(got.data()), std::streamsize(got.size() * 2));
		ASSERT_TRUE(in) << "block " << b;
		for (uint32_t i = 0; i < frames; ++i) {
			const float x = value(b * frames + i);
			ASSERT_EQ(got[2 * i], pcm(x)) << b << ":" << i;
			ASSERT_EQ(got[2 * i + 1], pcm(-x)) << b << ":" << i;
		}
	}
	ASSERT_TRUE(Log::wait_for("[Brisvane] No URL configured."));
}

namespace {

// Left channel of the stream the killed process records: frame n says n.
float crash_value(uint64_t n)
{
	return float(int64_t(n % 30000) - 15000) / 32768.0f;
}

} // namespace

// The process the next test kills: records a take by hotkey until it is killed, after
// saying (in a file) that two seconds of it have reached the disk.
TEST(RecordingCrash, ChildRecordsUntilKilled)
{
	const char *config = std::getenv("BRISVANE_KILLED_CONFIG");
	if (!config)
		GTEST_SKIP() << "run by KilledMidTakeIsFinishedByTheNextStart";
	testhost::HostOptions options;
	options.config_dir = config;
	Rig r(options);
	r.press();
	std::vector<float> left(1024), right(1024, 0.0f);
	const std::string dir = r.host.recordings_dir();
	bool said = false;
	for (uint64_t at = 0;; at += 1024) {
		for (uint32_t i = 0; i < 1024; ++i)
			left[i] = crash_value(at + i);
		testhost::push_audio(r.mic.get(), left.data(), right.data(), 1024);
		std::this_thread::sleep_for(std::chrono::milliseconds(2));
		if (!said) {
			for (const auto &file : rig::files_in(dir))
				if (file.find("/unfinished_") != std::string::npos &&
				    file.find(".url") == std::string::npos &&
				    std::filesystem::file_size(file) >= 44u + 2u * 48000u * 4u) {
					std::ofstream(std::string(config) + "/two-seconds-on-disk") << "yes";
					said = true;
				}
		}
	}
}

TEST(RecordingCrash, KilledMidTakeIsFinishedByTheNextStart)
{
	testhost::TempDir config;
	setenv("BRISVANE_KILLED_CONFIG", config.path().c_str(), 1);
	char self[4096] = {};
	ASSERT_GT(readlink("/proc/self/exe", self, sizeof(self) - 1), 0);
	std::string filter = "--gtest_filter=RecordingCrash.ChildRecordsUntilKilled";
	char *argv[] = {self, filter.data(), nullptr};
	pid_t child = 0;
	ASSERT_EQ(posix_spawn(&child, self, nullptr, nullptr, argv, environ), 0);
	unsetenv("BRISVANE_KILLED_CONFIG");
	const std::string marker = config.path() + "/two-seconds-on-disk";
	for (int i = 0; i < 1200 && !std::filesystem::exists(marker); ++i)
		std::this_thread::sleep_for(std::chrono::milliseconds(100));
	const bool ready = std::filesystem::exists(marker);
	kill(child, SIGKILL);
	int status = 0;
	waitpid(child, &status, 0);
	ASSERT_TRUE(ready) << "the child never got two seconds to disk";
	ASSERT_TRUE(WIFSIGNALED(status));

	// The next start finishes the file, off the host's threads.
	testhost::HostOptions options;
	options.config_dir = config.path();
	testhost::ObsHost host(options);
	ASSERT_TRUE(Log::wait_for("[Kavrel Assistant] Recovered unfinished recording: "));
	std::vector<std::string> files;
	for (const auto &file : rig::files_in(host.recordings_dir()))
		files.push_back(file);
	ASSERT_EQ(files.size(), 1u) << "the finished take alone";
	EXPECT_EQ(Log::with_prefix("[Kavrel Assistant] Recovered unfinished recording: ").at(0),
		  "[Kavrel Assistant] Recovered unfinished recording: " + files[0]);
	const auto bytes = rig::read_bytes(files[0]);
	ASSERT_GE(bytes.size(), 44u + 2u * 48000u * 4u);
	EXPECT_EQ(u32_at(bytes, 40), bytes.size() - 44);
	for (size_t frame = 0; 44 + frame * 4 < bytes.size(); ++frame) {
		int16_t s[2];
		std::memcpy(s, &bytes[44 + frame * 4], 4);
		const float x = crash_value(frame);
		ASSERT_EQ(s[0], int16_t(int32_t(x * 32767.0f))) << frame;
		ASSERT_EQ(s[1], 0) << frame;
	}
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
	EXPECT_FALSE(r.ctx->takes->recording());
	r.press();
	r.push(tone(440, 6144.0 / 48000));
	r.press();
	r.ctx->takes->wait_idle();
	const auto files = rig::files_in(r.host.recordings_dir());
	ASSERT_EQ(files.size(), 1u);
	EXPECT_EQ(rig::read_bytes(files[0]).size(), 44u + 6144u * 2u * 2u);

	// The library is not looked for again for the next source.
	testutil::SourcePtr second = testutil::create_uploader("Second", testutil::settings_with_target("Mic").get());
	EXPECT_FALSE(Log::contains("Failed to load the speech library"));
	testutil::destroy(second);
}
