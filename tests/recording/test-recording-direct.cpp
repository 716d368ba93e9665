// SPDX-License-Identifier: GPL-3.0-or-later
// The takes of a record of our own, inside a running libobs: the lines of every stop cause,
// keyword handling, the size limit and the notification sounds.
#include "module/module-state.hpp"
#include "module/source-context.hpp"
#include "obs-host.hpp"
#include "platform/sound.hpp"
#include "store/wav-header.hpp"
#include "take-feed.hpp"
#include "store/take-record.hpp"

#include "test-files.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <limits>
#include <memory>
#include <filesystem>
#include <fstream>
#include <future>
#include <set>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;
using testhost::Log;

namespace {

class FakeSounds : public platform::SoundLayer {
public:
	platform::ModuleDirStatus status = platform::ModuleDirStatus::Ok;
	int handle_error = 0;
	std::string dir = "/mod/";
	std::set<std::string> files;
	int refuse_error = 0; // non-zero: play_async refuses with it
	std::vector<std::string> played;
	int beeps = 0;

	platform::ModuleDirStatus module_directory(std::string &out, int &error) override
	{
		out = dir;
		error = handle_error;
		return status;
	}
	bool file_exists(const std::string &path) override { return files.count(path) > 0; }
	bool play_async(const std::string &path, int &error) override
	{
		error = refuse_error;
		if (refuse_error == 0)
			played.push_back(path);
		return refuse_error == 0;
	}
	void beep() override { ++beeps; }
};

// Our lines since the last clear, each as "I:text" or "W:text" (E for errors).
std::vector<std::string> our_lines()
{
	std::vector<std::string> out;
	for (const auto &line : Log::lines()) {
		if (line.text.rfind("[Kavrel Assistant] ", 0) != 0 && line.text.rfind("[Brisvane] ", 0) != 0)
			continue;
		const char *tag = line.level == LOG_ERROR ? "E:" : line.level == LOG_WARNING ? "W:" : "I:";
		out.push_back(tag + line.text.substr(line.text.find("] ") + 2));
	}
	return out;
}

using testhost::files_in;

const StopCause all_causes[] = {StopCause::Hotkey, StopCause::Keyword, StopCause::Silence, StopCause::Destroy};

class Direct : public ::testing::Test {
protected:
	void SetUp() override
	{
		module_pointer = host.module();
		platform::set_sound_layer(&sounds);
		Log::clear();
	}
	void TearDown() override
	{
		takes.reset();
		platform::set_sound_layer(nullptr);
		module_pointer = nullptr;
	}
	void feed(uint32_t frames)
	{
		std::vector<int16_t> v(size_t(frames) * 2, 1234);
		takes->ring().write(v.data(), frames);
	}
	// A take of `frames` frames ended by `cause`; the log holds the stop's lines only.
	void take(uint32_t frames, StopCause cause)
	{
		start(frames);
		stop(cause);
		takes->wait_idle();
	}
	void start(uint32_t frames)
	{
		takes->hotkey_pressed(48000);
		takes->wait_idle();
		Log::clear();
		feed(frames);
	}
	void stop(StopCause cause)
	{
		switch (cause) {
		case StopCause::Hotkey:
			takes->hotkey_pressed(48000);
			break;
		case StopCause::Keyword:
			takefeed::say(*takes, "стоп", takes->ring().end());
			break;
		case StopCause::Silence:
			takefeed::quiet_stop(*takes);
			break;
		case StopCause::Destroy:
			takes.reset(); // finishes the take, then joins
			takes = make_takes();
			break;
		}
	}

	testhost::ObsHost host;
	FakeSounds sounds;
	const TakePipeline::Sounds sounds_of_module{play_start_sound, play_stop_sound};
	std::unique_ptr<TakePipeline> make_takes()
	{
		auto made = std::make_unique<TakePipeline>(2, 48000, sounds_of_module);
		made->set_keywords("старт", "Стоп");
		return made;
	}
	std::unique_ptr<TakePipeline> takes = make_takes();
};

} // namespace

TEST_F(Direct, EveryStopCauseSideBySide)
{
	module_pointer = nullptr; // the stop sound comes from beside the module
	sounds.files = {"/mod/notification_end.wav"};
	const std::string played = "I:Found stop sound file at: /mod/notification_end.wav";
	const std::string playing = "I:Playing stop sound: /mod/notification_end.wav";
	const std::string stopped = "I:Stopped recording. Buffer size: 96000 samples";
	struct Case {
		StopCause cause;
		std::vector<std::string> lines; // before "Saved to"
		bool saved_line;
	};
	const Case cases[] = {
	    {StopCause::Hotkey, {played, playing, stopped}, true},
	    {StopCause::Keyword, {"I:Stop keyword detected: Стоп", played, playing, stopped}, true},
	    {StopCause::Silence, {"I:Silence detected (-100.000000 dB). Stopping...", played, playing}, false},
	    // Destroying the source finishes its take like the hotkey, without the sound.
	    {StopCause::Destroy, {stopped}, true}};
	for (const Case &c : cases) {
		fs::remove_all(host.recordings_dir());
		take(48000, c.cause);
		EXPECT_FALSE(takes->recording());

		const auto files = files_in(host.recordings_dir());
		ASSERT_EQ(files.size(), 1u);
		EXPECT_EQ(fs::file_size(files[0]), 192044u);
		EXPECT_NE(files[0].find("/recording_"), std::string::npos);
		auto expected = c.lines;
		if (c.saved_line)
			expected.push_back("I:Saved to " + files[0]);
		// The upload thread got the file: with no URL it reports that and keeps it.
		ASSERT_TRUE(Log::wait_for("[Brisvane] No URL configured."));
		expected.push_back("W:No URL configured.");
		// The module's start-up scan of the folder may still be running and meet the take
		// before its writer hands it over; that line is not the take's own.
		auto lines = our_lines();
		lines.erase(std::remove(lines.begin(), lines.end(), "I:No server recorded, file kept: " + files[0]),
			    lines.end());
		EXPECT_EQ(lines, expected) << int(c.cause);
	}

	// Nothing to save: the announcement and the sound, and no file.
	fs::remove_all(host.recordings_dir());
	for (StopCause cause : {StopCause::Hotkey, StopCause::Silence, StopCause::Destroy}) {
		take(0, cause);
		EXPECT_FALSE(takes->recording());
		const bool announced = cause != StopCause::Silence;
		EXPECT_EQ(Log::count("Stopped recording. Buffer size: 0 samples"), announced ? 1u : 0u);
		EXPECT_EQ(Log::count("Playing stop sound"), cause == StopCause::Destroy ? 0u : 1u);
	}
	// A stop word heard no later than the take's start belongs to no audio of it: only reported.
	take(0, StopCause::Keyword);
	EXPECT_TRUE(takes->recording());
	EXPECT_EQ(our_lines(), std::vector<std::string>{"I:Stop keyword detected: Стоп"});
	takes->hotkey_pressed(48000);
	takes->wait_idle();
	EXPECT_TRUE(files_in(host.recordings_dir()).empty());

	// Not recording: a stop word is only reported, silence and destruction do nothing.
	Log::clear();
	sounds.played.clear();
	takefeed::say(*takes, "стоп", takes->ring().end());
	takefeed::quiet_stop(*takes);
	takes->wait_idle();
	takes.reset();
	EXPECT_EQ(our_lines(), std::vector<std::string>{"I:Stop keyword detected: Стоп"});
	EXPECT_TRUE(sounds.played.empty());
}

// A stop sound that holds the source's thread until the test lets it go.
std::atomic<bool> stop_sound_held{false};
void held_stop_sound()
{
	while (stop_sound_held)
		std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

TEST_F(Direct, ATakeGoesToTheServerSetWhenItsStopWasDecided)
{
	for (const StopCause cause : {StopCause::Hotkey, StopCause::Keyword, StopCause::Silence}) {
		fs::remove_all(host.recordings_dir());
		takes = std::make_unique<TakePipeline>(2, 48000, TakePipeline::Sounds{nullptr, held_stop_sound});
		takes->set_keywords("старт", "стоп");
		takes->set_server("http://127.0.0.1:9/meant");
		start(4800);
		stop_sound_held = true;
		stop(cause);
		// Typed while the take is still being finished: the next takes are for it, not this one.
		takes->set_server("http://127.0.0.1:9/typed-later");
		stop_sound_held = false;
		takes->wait_idle();
		const auto files = files_in(host.recordings_dir()); // its record beside it is not listed
		ASSERT_EQ(files.size(), 1u) << int(cause);
		EXPECT_EQ(testhost::recorded_url(files[0]), "http://127.0.0.1:9/meant") << int(cause);
	}
}

TEST_F(Direct, FileThatCannotBeCreatedIsReportedForEveryCause)
{
	// A plain file where the directory should be: nothing can be created inside it.
	fs::create_directories(fs::path(host.recordings_dir()).parent_path());
	std::ofstream(host.recordings_dir()) << "x";
	for (StopCause cause : all_causes) {
		take(10, cause);
		EXPECT_EQ(Log::count("Failed to create file: " + host.recordings_dir() + "/recording_", LOG_ERROR), 1u);
		EXPECT_FALSE(Log::contains("Saved to"));
		EXPECT_FALSE(Log::contains("[Brisvane]"));
	}
}

TEST_F(Direct, KeywordResultsDriveTheRecording)
{
	takes->set_keywords("старт,запись", " Стоп ,Хватит,");
	const auto result_lines = [&](const std::string &text, bool final = false) {
		Log::clear();
		takes->recognition_result(takefeed::heard(text, takes->ring().end(), final));
		takes->wait_idle();
		return our_lines();
	};
	using V = std::vector<std::string>;

	// A stop word while idle: the detection line once per time it is said.
	EXPECT_EQ(result_lines("стоп"), V{"I:Stop keyword detected: Стоп"});
	EXPECT_TRUE(result_lines("стоп").empty()) << "the same word, repeated by the recogniser";
	EXPECT_TRUE(result_lines("стоп", true).empty());
	EXPECT_EQ(result_lines("стоп", true), V{"I:Stop keyword detected: Стоп"}) << "said again";

	// A keyword inside a longer word starts; the start sound falls back to the beep here.
	module_pointer = nullptr;
	EXPECT_EQ(result_lines("стартовать"),
		  (V{"I:Start keyword detected: старт", "I:Started recording...",
		     "W:Sound file not found at: /mod/notification.wav", "W:Sound file not found, using system beep"}));
	EXPECT_TRUE(takes->recording());
	EXPECT_EQ(sounds.beeps, 1);

	// A start word while recording: nothing at all.
	EXPECT_TRUE(result_lines("стартовать запись").empty());
	EXPECT_TRUE(takes->recording());

	// A capital from Р to Я in the settings matches the recogniser's lower case; a stop heard
	// after audio arrived ends the take there.
	std::vector<int16_t> block(2048, 7);
	takes->ring().write(block.data(), 1024);
	auto lines = result_lines("стартовать запись хватит", true);
	if (lines.size() > 5)
		lines.resize(5); // the upload thread's own line may already follow
	EXPECT_EQ(lines,
		  (V{"I:Stop keyword detected: Хватит", "W:Stop sound file not found at: /mod/notification_end.wav",
		     "W:Stop sound file not found", "I:Stopped recording. Buffer size: 2048 samples",
		     "I:Saved to " + files_in(host.recordings_dir()).at(0)}));
	EXPECT_FALSE(takes->recording());
	ASSERT_TRUE(Log::wait_for("[Brisvane] No URL configured."));
}

TEST_F(Direct, RecordingStopsGrowingAtItsLimitAndStaysValid)
{
	const uint64_t saved_limit = recording_sample_limit();
	recording_sample_limit() = 3 * 2048 + 101; // the limit falls inside a block and a frame
	SourceContext ctx;
	ctx.takes = std::make_unique<TakePipeline>(2, 48000, TakePipeline::Sounds{});
	std::vector<float> left(1024, 0.25f), right(1024, std::numeric_limits<float>::quiet_NaN());
	audio_data block = {};
	block.data[0] = reinterpret_cast<uint8_t *>(left.data());
	block.data[1] = reinterpret_cast<uint8_t *>(right.data());
	block.frames = 1024;
	ctx.takes->hotkey_pressed(48000);
	for (int i = 0; i < 6; ++i)
		audio_capture_callback(&ctx, nullptr, &block, false);
	ctx.takes->hotkey_pressed(48000);
	ctx.takes->wait_idle();
	recording_sample_limit() = saved_limit;

	EXPECT_EQ(Log::count("largest size a WAV file can hold", LOG_WARNING), 1u);
	EXPECT_EQ(Log::count("Stopped recording. Buffer size: 6244 samples"), 1u);
	const auto files = files_in(host.recordings_dir());
	ASSERT_EQ(files.size(), 1u);
	const auto bytes = testhost::read_bytes(files[0]);
	ASSERT_EQ(bytes.size(), 44u + 2u * (3u * 2048u + 100u));
	int16_t first[2];
	std::memcpy(first, &bytes[44], 4);
	EXPECT_EQ(first[0], 8191);
	EXPECT_EQ(first[1], 0); // NaN recorded as silence
}

TEST_F(Direct, SoundSearchOrderAndFallbacks)
{
	using platform::ModuleDirStatus;
	using V = std::vector<std::string>;
	const std::string data = host.data_dir();
	const auto lines_of = [&](void (*play)()) {
		Log::clear();
		play();
		return our_lines();
	};

	// Installed with the data files: only the start sound says where it found its file.
	EXPECT_EQ(lines_of(play_start_sound),
		  (V{"I:Found sound file via obs_module_file: " + data + "/notification.wav",
		     "I:Playing sound: " + data + "/notification.wav"}));
	EXPECT_EQ(lines_of(play_stop_sound), (V{"I:Playing stop sound: " + data + "/notification_end.wav"}));

	// Beside the module.
	module_pointer = nullptr;
	sounds.files = {"/mod/notification.wav", "/mod/notification_end.wav"};
	EXPECT_EQ(lines_of(play_start_sound),
		  (V{"I:Found sound file at: /mod/notification.wav", "I:Playing sound: /mod/notification.wav"}));
	EXPECT_EQ(lines_of(play_stop_sound), (V{"I:Found stop sound file at: /mod/notification_end.wav",
						"I:Playing stop sound: /mod/notification_end.wav"}));
	EXPECT_EQ(sounds.played, (V{data + "/notification.wav", data + "/notification_end.wav", "/mod/notification.wav",
				    "/mod/notification_end.wav"}));
	EXPECT_EQ(sounds.beeps, 0);

	// Found but refused: the start sound beeps instead, the stop sound stays silent.
	sounds.refuse_error = 263;
	EXPECT_EQ(lines_of(play_start_sound), (V{"I:Found sound file at: /mod/notification.wav",
						 "W:Failed to play sound: /mod/notification.wav (error: 263)"}));
	EXPECT_EQ(sounds.beeps, 1);
	EXPECT_EQ(lines_of(play_stop_sound),
		  (V{"I:Found stop sound file at: /mod/notification_end.wav",
		     "W:Failed to play stop sound: /mod/notification_end.wav (error: 263)"}));
	EXPECT_EQ(sounds.beeps, 1);

	// Missing everywhere.
	sounds.files.clear();
	EXPECT_EQ(lines_of(play_start_sound),
		  (V{"W:Sound file not found at: /mod/notification.wav", "W:Sound file not found, using system beep"}));
	EXPECT_EQ(lines_of(play_stop_sound),
		  (V{"W:Stop sound file not found at: /mod/notification_end.wav", "W:Stop sound file not found"}));
	EXPECT_EQ(sounds.beeps, 2);

	// The module's own file cannot be found.
	sounds.status = ModuleDirStatus::HandleFailed;
	sounds.handle_error = 126;
	EXPECT_EQ(lines_of(play_start_sound),
		  (V{"W:Failed to get module handle, error: 126", "W:Sound file not found, using system beep"}));
	EXPECT_EQ(lines_of(play_stop_sound), (V{"W:Stop sound file not found"}));
	for (ModuleDirStatus status : {ModuleDirStatus::NameFailed, ModuleDirStatus::NoSeparator}) {
		sounds.status = status;
		EXPECT_EQ(lines_of(play_start_sound), (V{"W:Sound file not found, using system beep"}));
		EXPECT_EQ(lines_of(play_stop_sound), (V{"W:Stop sound file not found"}));
	}
	EXPECT_EQ(sounds.beeps, 5);
	EXPECT_EQ(sounds.played.size(), 4u);
}

TEST_F(Direct, RealSoundLayerReturnsAtOnce)
{
	platform::set_sound_layer(nullptr);
	std::string dir;
	int error = 0;
	ASSERT_EQ(platform::sound_layer().module_directory(dir, error), platform::ModuleDirStatus::Ok);
	ASSERT_EQ(dir.back(), '/');
	EXPECT_EQ(fs::canonical(dir), fs::canonical("/proc/self/exe").parent_path());

	// Played or refused (no sound server on a build machine), but never waited for.
	auto played = std::async(std::launch::async, [] {
		play_start_sound();
		play_stop_sound();
	});
	ASSERT_EQ(played.wait_for(std::chrono::seconds(30)), std::future_status::ready);
	EXPECT_EQ(Log::count("[Kavrel Assistant] Playing sound: ") +
		      Log::count("[Kavrel Assistant] Failed to play sound: "),
		  1u);
	EXPECT_EQ(Log::count("Playing stop sound: ") + Log::count("Failed to play stop sound: "), 1u);
}
