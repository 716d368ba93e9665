// SPDX-License-Identifier: GPL-3.0-or-later
// Takes streamed to disk, finished, recovered after a crash, and bounded by positions in the
// audio, without a host.
#include "obs-host.hpp"
#include "platform/file-lock.hpp"
#include "audio/audio-ring.hpp"
#include "store/take-file.hpp"
#include "store/take-recovery.hpp"
#include "take-feed.hpp"
#include "takes/take-decisions.hpp"
#include "test-files.hpp"
#include "store/take-paths.hpp"
#include "store/take-record.hpp"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>
#include <utime.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <vector>

namespace fs = std::filesystem;
using testhost::Log;
using testhost::read_bytes;

namespace {

uint32_t u32_at(const std::vector<uint8_t> &b, size_t at)
{
	return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 3]) << 24;
}

// Frame n of a test stream: (n mod 2^15, n div 2^15), so every frame says where it came from.
std::vector<int16_t> frames_from(uint64_t first, size_t count)
{
	std::vector<int16_t> out(count * 2);
	for (size_t i = 0; i < count; ++i) {
		out[2 * i] = int16_t((first + i) & 0x7FFF);
		out[2 * i + 1] = int16_t((first + i) >> 15);
	}
	return out;
}

// The positions of a WAV file's frames, checking its header states exactly its data.
std::vector<uint64_t> positions_in(const std::string &path)
{
	const auto bytes = read_bytes(path);
	EXPECT_GE(bytes.size(), 44u) << path;
	if (bytes.size() < 44)
		return {};
	EXPECT_EQ(u32_at(bytes, 40), bytes.size() - 44) << path;
	EXPECT_EQ(u32_at(bytes, 4), bytes.size() - 8) << path;
	std::vector<uint64_t> out;
	for (size_t at = 44; at + 4 <= bytes.size(); at += 4) {
		int16_t s[2];
		std::memcpy(s, &bytes[at], 4);
		out.push_back(uint64_t(uint16_t(s[0])) | uint64_t(uint16_t(s[1])) << 15);
	}
	return out;
}

// Writes the test stream's next `frames` frames into the ring, 1 000 at a time.
void feed(AudioRing &ring, uint64_t &written, uint64_t frames)
{
	for (const uint64_t end = written + frames; written < end; written += 1000) {
		const auto block = frames_from(written, 1000);
		ring.write(block.data(), 1000);
	}
}

bool is_run(const std::vector<uint64_t> &positions, uint64_t from, uint64_t to)
{
	if (positions.size() != to - from)
		return false;
	for (size_t i = 0; i < positions.size(); ++i)
		if (positions[i] != from + i)
			return false;
	return true;
}

std::vector<std::string> wavs_in(const std::string &dir)
{
	std::vector<std::string> out;
	for (const auto &path : testhost::files_in(dir))
		if (path.size() > 4 && path.compare(path.size() - 4, 4, ".wav") == 0)
			out.push_back(path);
	std::sort(out.begin(), out.end());
	return out;
}

} // namespace

TEST(TakeFiles, StreamedTakeIsAValidWavThroughoutAndNeverReplacesAName)
{
	testhost::TempDir dir;
	TakeFile take, other;
	ASSERT_TRUE(take.create(dir.path(), 42, 2, 48000, ""));
	ASSERT_TRUE(other.create(dir.path(), 42, 2, 48000, ""));
	EXPECT_EQ(take.path(), dir.path() + "/unfinished_42.wav");
	EXPECT_EQ(other.path(), dir.path() + "/unfinished_42_2.wav");
	EXPECT_TRUE(positions_in(take.path()).empty()) << "valid before any audio";

	const auto first = frames_from(0, 3000);
	ASSERT_TRUE(take.append(first.data(), 3000));
	ASSERT_TRUE(take.update_header());
	EXPECT_TRUE(is_run(positions_in(take.path()), 0, 3000)) << "what a crash now would leave";
	// A stop heard late: the audio after it goes again, and later audio follows on.
	ASSERT_TRUE(take.truncate(2000));
	const auto more = frames_from(2000, 500);
	ASSERT_TRUE(take.append(more.data(), 500));
	ASSERT_TRUE(take.set_server("http://zero.example/up"));
	EXPECT_EQ(testhost::recorded_url(take.path()), "http://zero.example/up") << "a crash now sends it there";

	std::ofstream(dir.path() + "/recording_7.wav") << "an earlier take";
	std::string final_path;
	// The server its stop was decided for, whatever the setting said before.
	ASSERT_TRUE(take.finish(dir.path(), 7, "http://one.example/up", final_path));
	EXPECT_EQ(final_path, dir.path() + "/recording_7_2.wav");
	EXPECT_TRUE(is_run(positions_in(final_path), 0, 2500));
	EXPECT_EQ(testhost::read_file(dir.path() + "/recording_7.wav"), "an earlier take");
	EXPECT_EQ(testhost::recorded_url(final_path), "http://one.example/up");

	other.discard();
	EXPECT_EQ(testhost::files_in(dir.path()).size(), 2u) << "the two takes, nothing unfinished";
	EXPECT_FALSE(fs::exists(take_record_path(other.path())));

	// Delivered and deleted, its name is still not handed out again in this run: a server that
	// stores by name would lose the first take.
	fs::remove(final_path);
	fs::remove(take_record_path(final_path));
	TakeFile next;
	ASSERT_TRUE(next.create(dir.path(), 8, 2, 48000, ""));
	ASSERT_TRUE(next.finish(dir.path(), 7, "", final_path));
	EXPECT_EQ(final_path, dir.path() + "/recording_7_3.wav");
}

TEST(TakeFiles, RecoveryFinishesWhatACrashLeftAndLeavesOthersAlone)
{
	testhost::TempDir dir;
	Log::install();
	// Killed mid-take: the header states less than was written, and the last frame is half.
	const std::string crashed = dir.path() + "/unfinished_5.wav";
	{
		TakeFile take;
		ASSERT_TRUE(take.create(dir.path(), 5, 2, 44100, ""));
		const auto audio = frames_from(0, 250);
		ASSERT_TRUE(take.append(audio.data(), 100));
		ASSERT_TRUE(take.update_header());
		ASSERT_TRUE(take.append(audio.data() + 200, 150));
		ASSERT_TRUE(take.update_header());
		ASSERT_TRUE(write_take_record(crashed, {"http://two.example/up", false, {}}));
		std::fclose(std::fopen((dir.path() + "/scratch").c_str(), "w"));
		// The file is simply left as a killed process leaves it.
		fs::copy_file(crashed, dir.path() + "/copy");
	}
	fs::remove(crashed);
	fs::rename(dir.path() + "/copy", crashed);
	std::ofstream(crashed, std::ios::app) << "x";
	utimbuf times{1700000000, 1700000000};
	ASSERT_EQ(utime(crashed.c_str(), &times), 0);

	// Another process is still writing this one; and this one has no header yet.
	const std::string busy = dir.path() + "/unfinished_6.wav", young = dir.path() + "/unfinished_8.wav";
	std::ofstream(busy) << std::string(100, 'b');
	std::ofstream(young) << "0123";
	platform::FileLock held;
	ASSERT_TRUE(held.try_lock(busy));

	Log::clear();
	const auto recovered = recover_unfinished_takes(dir.path());
	ASSERT_EQ(recovered, std::vector<std::string>{dir.path() + "/recording_1700000000.wav"});
	const auto positions = positions_in(recovered[0]);
	ASSERT_EQ(positions.size(), 250u) << "every whole frame written, the half one dropped";
	EXPECT_TRUE(is_run(std::vector<uint64_t>(positions.begin(), positions.begin() + 100), 0, 100));
	EXPECT_TRUE(is_run(std::vector<uint64_t>(positions.begin() + 100, positions.end()), 100, 250));
	EXPECT_EQ(u32_at(read_bytes(recovered[0]), 24), 44100u);
	EXPECT_EQ(testhost::recorded_url(recovered[0]), "http://two.example/up");
	EXPECT_TRUE(fs::exists(busy) && fs::exists(young));
	EXPECT_FALSE(fs::exists(crashed) || fs::exists(take_record_path(crashed)));
	EXPECT_TRUE(Log::contains("[Kavrel Assistant] Recovered unfinished recording: " + recovered[0], LOG_INFO));
}

TEST(TakeFiles, TwoProcessesSavingInTheSameSecondKeepBothTakes)
{
	testhost::TempDir dir;
	for (int round = 0; round < 20; ++round) {
		int go[2];
		ASSERT_EQ(pipe(go), 0);
		pid_t children[2];
		for (int c = 0; c < 2; ++c) {
			children[c] = fork();
			if (children[c] == 0) {
				close(go[1]);
				char byte;
				if (read(go[0], &byte, 1) != 1)
					_exit(2);
				TakeFile take;
				const auto audio = frames_from(uint64_t(c) * 100000, 20000);
				std::string path;
				const bool ok = take.create(dir.path(), round, 2, 48000, "") &&
						take.append(audio.data(), 20000) &&
						take.finish(dir.path(), round, "", path);
				_exit(ok ? 0 : 1);
			}
		}
		close(go[0]);
		ASSERT_EQ(write(go[1], "gg", 2), 2);
		close(go[1]);
		for (pid_t child : children) {
			int status = 0;
			waitpid(child, &status, 0);
			EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
		}
		const std::string base = dir.path() + "/recording_" + std::to_string(round);
		const auto a = positions_in(base + ".wav"), b = positions_in(base + "_2.wav");
		ASSERT_EQ(a.size(), 20000u);
		ASSERT_EQ(b.size(), 20000u);
		EXPECT_NE(a.front(), b.front());
		for (const auto *p : {&a, &b})
			EXPECT_TRUE(is_run(*p, p->front(), p->front() + 20000)) << "round " << round;
	}
	EXPECT_EQ(testhost::files_in(dir.path()).size(), 40u) << "nothing unfinished left";
}

// A recogniser that answers seconds late still bounds each take by where the words were.
TEST(TakePipeline, LateResultsStillGiveExactBoundaries)
{
	testhost::TempDir config;
	setenv("XDG_CONFIG_HOME", config.path().c_str(), 1);
	Log::install();
	Log::clear();
	const std::string dir = config.path() + "/obs-brisvane";
	const uint64_t second = 48000;
	uint64_t written = 0, silence_from = 0, silence_to = 0;
	{
		TakePipeline takes(2, 48000, {});
		takes.set_keywords("старт", "стоп");
		AudioRing &ring = takes.ring();
		auto feed = [&](uint64_t seconds) { ::feed(ring, written, seconds * second); };
		using takefeed::say;
		feed(10);
		say(takes, "старт", 2 * second);
		EXPECT_TRUE(takes.recording());
		feed(5);
		say(takes, "стоп", 1 * second); // before the take began: only logged
		EXPECT_TRUE(takes.recording());
		takes.wait_idle();
		feed(1);
		say(takes, "стоп", 12 * second); // its audio already written: cut back
		EXPECT_FALSE(takes.recording());
		// A start heard before the end of the last take begins where that one ended.
		say(takes, "старт", 11 * second);
		say(takes, "стоп", 14 * second);
		// Silence ends a take before the block that completes the quiet stretch.
		silence_from = written;
		takes.hotkey_pressed(48000);
		feed(1);
		silence_to = written;
		takefeed::quiet_stop(takes);
		EXPECT_FALSE(takes.recording());
		// With no audio between two presses the take is empty: no file.
		takes.hotkey_pressed(48000);
		takes.hotkey_pressed(48000);
		takes.wait_idle();
	}
	const auto files = wavs_in(dir);
	ASSERT_EQ(files.size(), 3u);
	std::vector<std::vector<uint64_t>> takes;
	for (const auto &file : files)
		takes.push_back(positions_in(file));
	std::sort(takes.begin(), takes.end());
	EXPECT_TRUE(is_run(takes[0], 2 * second, 12 * second));
	EXPECT_TRUE(is_run(takes[1], 12 * second, 14 * second));
	EXPECT_TRUE(is_run(takes[2], silence_from, silence_to));
	EXPECT_EQ(Log::count("Stop keyword detected: стоп"), 3u);
	EXPECT_EQ(Log::count("Stopped recording. Buffer size: 0 samples"), 1u);
}

// A writer that falls more than the ring behind keeps only what lies between the take's start
// and its end, in order, none twice; a later cut lands where the stop word began.
TEST(TakePipeline, AWriterThatFellBehindNeverMixesAudio)
{
	testhost::TempDir config;
	setenv("XDG_CONFIG_HOME", config.path().c_str(), 1);
	Log::install();
	Log::clear();
	const uint64_t second = 48000;
	uint64_t written = 0;
	{
		TakePipeline takes(2, 48000, {}, 2); // two seconds of ring
		takes.set_keywords("старт", "стоп");
		feed(takes.ring(), written, second);
		takes.hotkey_pressed(48000); // at 1 s
		takes.wait_idle();
		// The writer sleeps while five seconds arrive: the ring holds only the last two.
		feed(takes.ring(), written, 5 * second);
		// The stop word began at 5.5 s; its place is known from the word list.
		takes.recognition_result(takefeed::heard("стоп", 6 * second, true, {{second * 11 / 2, 6 * second}}));
		feed(takes.ring(), written, second);
		takes.wait_idle();
	}
	const auto files = wavs_in(config.path() + "/obs-brisvane");
	ASSERT_EQ(files.size(), 1u);
	const auto positions = positions_in(files[0]);
	ASSERT_FALSE(positions.empty());
	for (size_t i = 1; i < positions.size(); ++i)
		ASSERT_GT(positions[i], positions[i - 1]) << i;
	EXPECT_GE(positions.front(), second);
	EXPECT_EQ(positions.back(), second * 11 / 2 - 1);
	EXPECT_EQ(Log::count("Recording fell behind", LOG_WARNING), 1u);
}

namespace {

// The decisions, and what they tell the source's thread, as text.
class Decide : public testing::Test, public TakeEventSink {
protected:
	using V = std::vector<std::string>;
	bool post(const TakeEvent &e) noexcept override
	{
		const char *kind = e.kind == TakeEvent::Kind::Start  ? "start"
				   : e.kind == TakeEvent::Kind::Stop ? "stop"
								     : "heard";
		events.push_back(std::string(kind) + " " + std::to_string(e.take) +
				 (e.keyword ? " " + *e.keyword : ""));
		return true;
	}
	V told() { return std::exchange(events, {}); }
	bool result(const RecognitionResult &r)
	{
		return d.result(r, find_keyword_occurrences("старт", "стоп", r.text), 48000, 0, 0);
	}
	V events;
	TakeDecisions d{*this, TakeDecisions::Timing{}};
};

using takefeed::heard;

} // namespace

TEST_F(Decide, EachSpokenKeywordActsOnceAtItsSettledPlace)
{

	// A plain hypothesis reacts at once and asks for word lists; later ones repeat the word.
	EXPECT_TRUE(result(heard("старт", 1000, false)));
	EXPECT_EQ(told(), V{"start 1 старт"});
	EXPECT_FALSE(d.bounds(1).start_settled) << "the word's end has not settled";
	EXPECT_TRUE(result(heard("старт", 2000, false, {{100, 900}})));
	EXPECT_TRUE(result(heard("старт", 3000, false, {{100, 1200}})));
	EXPECT_TRUE(told().empty());
	// A later word settles the start at the word's end; the stop in the same breath ends it
	// where the stop word began.
	result(heard("старт стоп", 4000, false));
	EXPECT_EQ(told(), V{"stop 1 стоп"});
	EXPECT_FALSE(d.recording());
	EXPECT_FALSE(d.bounds(1).end_settled);
	result(heard("старт стоп", 5000, false, {{100, 1300}, {2500, 3100}}));
	TakeBounds b = d.bounds(1);
	EXPECT_TRUE(b.start_settled && b.end_settled);
	EXPECT_EQ(b.start, 1300u);
	EXPECT_EQ(b.end, 2500u);
	// The final result repeats both: nothing, although a take could start now; it closes the
	// utterance, and word lists are no longer wanted.
	EXPECT_FALSE(result(heard("старт стоп", 6000, true, {{100, 1300}, {2500, 3200}})));
	EXPECT_TRUE(told().empty());
	d.take_finished(1);

	// A stop word while idle is told once, however often it is repeated.
	for (uint64_t at = 7000; at < 9000; at += 500)
		result(heard("стоп", at, false));
	result(heard("стоп", 9000, true));
	EXPECT_EQ(told(), V{"heard 0 стоп"});

	// The hotkey ends a take while its start word is still in the utterance: the word does not
	// start another.
	result(heard("старт", 10000, false, {{9500, 9900}}));
	d.hotkey(11000, 48000, 0);
	result(heard("старт", 12000, false, {{9500, 9900}}));
	result(heard("старт", 13000, true, {{9500, 9900}}));
	EXPECT_EQ(told(), (V{"start 2 старт", "stop 2"}));
	EXPECT_EQ(d.bounds(2).start, 9900u);
	EXPECT_EQ(d.bounds(2).end, 11000u);
	d.take_finished(2);

	// Without word places, occurrences are counted per utterance and act where heard.
	result(heard("старт", 30000, false));
	result(heard("старт", 31000, false));
	result(heard("старт стоп старт", 32000, false));
	EXPECT_EQ(told(), (V{"start 3 старт", "stop 3 стоп", "start 4 старт"}));
	result(heard("старт стоп старт", 33000, true));
	EXPECT_EQ(d.bounds(3).start, 30000u);
	EXPECT_EQ(d.bounds(3).end, 32000u);
	EXPECT_TRUE(d.bounds(4).start_settled);
	EXPECT_EQ(d.bounds(4).start, 32000u) << "settled where it was heard";
}

TEST_F(Decide, SilenceWaitsForAStopWordSaidJustBefore)
{
	d.hotkey(1000, 48000, 0);
	d.silence(10000, -50.0f, true, 0);
	EXPECT_FALSE(d.bounds(1).end_settled);
	// The stop word, heard after the pause ended the take, began inside it: the end moves back.
	result(heard("стоп", 9000, false));
	result(heard("стоп", 10500, false, {{7000, 8000}}));
	EXPECT_EQ(told(), (V{"start 1", "stop 1", "heard 0 стоп"}));
	TakeBounds b = d.bounds(1);
	EXPECT_TRUE(b.end_settled);
	EXPECT_EQ(b.end, 7000u);
	d.take_finished(1);

	// Recognition that never passes the end: the wait ends after its time.
	d.hotkey(20000, 48000, 0);
	d.silence(30000, -50.0f, true, 100);
	d.settle_overdue(100 + TakeDecisions::Timing{}.silence_wait_ns - 1);
	EXPECT_FALSE(d.bounds(2).end_settled);
	d.settle_overdue(100 + TakeDecisions::Timing{}.silence_wait_ns);
	EXPECT_TRUE(d.bounds(2).end_settled);
	EXPECT_EQ(d.bounds(2).end, 30000u);
}
