// SPDX-License-Identifier: GPL-3.0-or-later
// Capture arithmetic, keyword parsing and the WAV file, without a host.
#include "recognition/keyword-control.hpp"
#include "recognition/recognition-result.hpp"
#include "audio/audio-convert.hpp"
#include "audio/audio-ring.hpp"
#include "recording/take-writer.hpp"
#include "store/wav-header.hpp"
#include "platform/file-lock.hpp"
#include "platform/files.hpp"
#include "store/take-record.hpp"

#include "obs-host.hpp"
#include "test-files.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <vector>

namespace {

uint32_t u32_at(const std::vector<uint8_t> &b, size_t at)
{
	return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 3]) << 24;
}

uint16_t u16_at(const std::vector<uint8_t> &b, size_t at)
{
	return uint16_t(b[at] | b[at + 1] << 8);
}

const float infinity = std::numeric_limits<float>::infinity();
const float not_a_number = std::numeric_limits<float>::quiet_NaN();

} // namespace

TEST(Conversion, FullScaleIsSymmetricAndTruncates)
{
	EXPECT_EQ(convert_sample(1.5f), 32767);
	EXPECT_EQ(convert_sample(1.0f), 32767);
	EXPECT_EQ(convert_sample(-1.0f), -32767);
	EXPECT_EQ(convert_sample(-7.0f), -32767);
	EXPECT_EQ(convert_sample(0.5f), 16383);
	EXPECT_EQ(convert_sample(-0.5f), -16383);
	EXPECT_EQ(convert_sample(0.0f), 0);
}

TEST(Conversion, NonFiniteSamplesAreSilence)
{
	EXPECT_EQ(convert_sample(not_a_number), 0);
	EXPECT_EQ(convert_sample(infinity), 0);
	EXPECT_EQ(convert_sample(-infinity), 0);

	// Left channel all non-finite, right silent: the samples and the level are those of silence.
	const float left[3] = {not_a_number, infinity, -infinity};
	const float right[3] = {0, 0, 0};
	const float *planes[2] = {left, right};
	int16_t out[6];
	const BlockEnergy e = convert_block(planes, 2, 3, 2, out);
	for (int16_t s : out)
		EXPECT_EQ(s, 0);
	EXPECT_FLOAT_EQ(block_level_db(e), -100.0f);
}

TEST(Conversion, InterleavesFramesAndReadsMissingPlanesAsZero)
{
	const float left[2] = {0.5f, -0.5f};
	const float *planes[8] = {left, nullptr, left, left, left, left, left, left};
	int16_t out[4];
	const BlockEnergy e = convert_block(planes, 8, 2, 2, out);
	EXPECT_EQ(out[0], 16383);
	EXPECT_EQ(out[1], 0);
	EXPECT_EQ(out[2], -16383);
	EXPECT_EQ(out[3], 0);
	// Only the first two planes count, and the zeros of the null plane count too.
	EXPECT_EQ(e.count, 4u);
	EXPECT_FLOAT_EQ(e.sum, 0.5f);
	EXPECT_FLOAT_EQ(block_level_db(e), 20.0f * std::log10(std::sqrt(0.125f)));
}

TEST(Level, SilenceAndEmptyBlocksAreMinus100)
{
	EXPECT_EQ(block_level_db(BlockEnergy{0.0f, 2048}), -100.0f);
	EXPECT_EQ(block_level_db(BlockEnergy{0.0f, 0}), -100.0f);
	// Full scale on every sample is 0 dB; enormous samples are loud, never silence.
	EXPECT_FLOAT_EQ(block_level_db(BlockEnergy{4.0f, 4}), 0.0f);
	EXPECT_GT(block_level_db(BlockEnergy{infinity, 4}), 0.0f);
}

TEST(SilenceTimer, StretchNeedsTwoQuietBlocksAndStrictComparisons)
{
	uint64_t now = 1000;
	auto clock = [&] { return now; };
	uint64_t started = 0;

	// A level equal to the threshold is not quiet and resets the stretch.
	started = 77;
	EXPECT_EQ(silence_step(started, -40.0f, -40.0f, 0, clock), SilenceStep::Loud);
	EXPECT_EQ(started, 0u);

	// Duration 0: the first quiet block only starts the clock, the second stops.
	EXPECT_EQ(silence_step(started, -100.0f, -40.0f, 0, clock), SilenceStep::Started);
	EXPECT_EQ(started, 1000u);
	now = 1001;
	EXPECT_EQ(silence_step(started, -100.0f, -40.0f, 0, clock), SilenceStep::Stop);
	EXPECT_EQ(started, 1000u);

	// Exactly the duration is not enough; one nanosecond more is.
	started = 0;
	now = 5000;
	EXPECT_EQ(silence_step(started, -50.0f, -40.0f, 2, clock), SilenceStep::Started);
	now = 5000 + 2000000;
	EXPECT_EQ(silence_step(started, -50.0f, -40.0f, 2, clock), SilenceStep::Waiting);
	// A loud block in the middle restarts the stretch from the next quiet block.
	EXPECT_EQ(silence_step(started, -10.0f, -40.0f, 2, clock), SilenceStep::Loud);
	now += 1;
	EXPECT_EQ(silence_step(started, -50.0f, -40.0f, 2, clock), SilenceStep::Started);
	EXPECT_EQ(started, now);
	now += 2000001;
	EXPECT_EQ(silence_step(started, -50.0f, -40.0f, 2, clock), SilenceStep::Stop);
}

TEST(Keywords, SplitTrimsSpacesAndTabsOnly)
{
	using V = std::vector<std::string>;
	EXPECT_EQ(split_keywords("старт,запись"), (V{"старт", "запись"}));
	EXPECT_EQ(split_keywords("a,,b,"), (V{"a", "b"}));
	EXPECT_EQ(split_keywords(" \tСтоп  , x y "), (V{"Стоп", "x y"}));
	EXPECT_EQ(split_keywords("a\n, \xC2\xA0"
				 "b"),
		  (V{"a\n", "\xC2\xA0"
			    "b"}));
	EXPECT_TRUE(split_keywords("").empty());
	EXPECT_TRUE(split_keywords(" , \t,,").empty());
}

TEST(Keywords, LowercaseLatinAndRussianCapitalsByteForByte)
{
	EXPECT_EQ(lowercase_keyword("StOP Z@[`"), "stop z@[`");
	EXPECT_EQ(lowercase_keyword("АБВГДЕЖЗИЙКЛМНОП"), "абвгдежзийклмноп");
	EXPECT_EQ(lowercase_keyword("РСТУФХЦЧШЩЪЫЬЭЮЯ"), "рстуфхцчшщъыьэюя");
	EXPECT_EQ(lowercase_keyword("ЁЖИК"), "ёжик");
	EXPECT_EQ(lowercase_keyword("Хватит"), "хватит");
	// Other Cyrillic capitals (Ѐ, Ђ) and lower-case letters pass unchanged.
	EXPECT_EQ(lowercase_keyword("\xD0\x80\xD0\x82 ё"), "\xD0\x80\xD0\x82 ё");
	// 0xD0 before a byte it does not pair with: that byte is treated on its own.
	EXPECT_EQ(lowercase_keyword("\xD0"
				    "A"),
		  "\xD0"
		  "a");
	EXPECT_EQ(lowercase_keyword("\xD0\xD0\x90"), "\xD0\xD0\xB0");
	// A lone 0xD0 at the end stays, and the length never changes.
	EXPECT_EQ(lowercase_keyword("Ы\xD0"), "ы\xD0");
	EXPECT_EQ(lowercase_keyword("\xD0"), "\xD0");
	EXPECT_EQ(lowercase_keyword(""), "");
}

std::string recognised_text(const std::string &json)
{
	RecognitionResult heard;
	parse_recognition_result(json, FeedClock{}, heard);
	return heard.text;
}

TEST(Keywords, RecognisedTextIsTheHeardWordsUnescaped)
{
	// Vosk's own shapes: idle results, a final result with its word list, a partial.
	EXPECT_EQ(recognised_text("{\n  \"text\" : \"\"\n}"), "");
	EXPECT_EQ(recognised_text("{\n  \"partial\" : \"\"\n}"), "");
	EXPECT_EQ(recognised_text("{\"partial\" : \"старт запись\"}"), "старт запись");
	// Escapes come out as the characters they stand for.
	EXPECT_EQ(recognised_text("{\"text\" : \"\\u0441\\u0442\\u043e\\u043f \\\"x\\\"\"}"), "стоп \"x\"");
	// "text" wins over "partial"; an empty "text" is still the answer.
	EXPECT_EQ(recognised_text("{\"partial\" : \"a\", \"text\" : \"b\"}"), "b");
	EXPECT_EQ(recognised_text("{\"text\" : \"\", \"partial\" : \"a\"}"), "");
	// Neither key, not an object, or not JSON at all: nothing heard.
	for (const char *json : {"{\"alternatives\" : []}", "[\"text\"]", "text", "", "{\"text\" : "})
		EXPECT_EQ(recognised_text(json), "") << json;

	// Word places become ring positions through the clock; a list that does not follow the
	// text word for word is dropped.
	RecognitionResult heard;
	const FeedClock clock{1000, 48000.0};
	ASSERT_TRUE(
	    parse_recognition_result("{\"result\" : [{\"conf\" : 1.0, \"end\" : 1.2, \"start\" : 0.3, "
				     "\"word\" : \"стоп\"}, {\"end\" : 1.5, \"start\" : 1.2, \"word\" : \"x\"}], "
				     "\"text\" : \"стоп x\"}",
				     clock, heard));
	EXPECT_TRUE(heard.final);
	ASSERT_EQ(heard.words.size(), 2u);
	EXPECT_EQ(heard.words[0].begin, 1000u + 14400u);
	EXPECT_EQ(heard.words[0].end, 1000u + 57600u);
	EXPECT_EQ(heard.words[1].end, 1000u + 72000u);
	ASSERT_TRUE(parse_recognition_result("{\"partial\" : \"a b\", \"partial_result\" : [{\"end\" : 1.0, "
					     "\"start\" : 0.5, \"word\" : \"a\"}]}",
					     clock, heard));
	EXPECT_FALSE(heard.final);
	EXPECT_TRUE(heard.words.empty());
}

TEST(Keywords, OccurrencesInSpokenOrderOneMatchPerWord)
{
	using K = KeywordKind;
	auto found = [](const char *starts, const char *stops, const char *text) {
		std::vector<std::string> out;
		for (const auto &o : find_keyword_occurrences(starts, stops, text))
			out.push_back(std::string(o.kind == K::Start ? "start " : "stop ") + o.keyword + " " +
				      std::to_string(o.first_word) + "-" + std::to_string(o.last_word));
		return out;
	};
	using V = std::vector<std::string>;
	// Both words in one result act in the order spoken; a word inside a longer one matches.
	EXPECT_EQ(found("старт,запись", " Стоп ", "стоп стартовать стоп"),
		  (V{"stop Стоп 0-0", "start старт 1-1", "stop Стоп 2-2"}));
	// A word matching both lists is a start; two start keywords in one word are one match.
	EXPECT_EQ(found("стоп,то", "стоп", "стоп"), V{"start стоп 0-0"});
	// A keyword of several words spans them.
	EXPECT_EQ(found("начни запись", "", "ну начни запись"), V{"start начни запись 1-2"});
	EXPECT_TRUE(found("", ",,", "стоп").empty());
}

TEST(WavHeader, OneSecondOfStereoAt48k)
{
	const auto h = make_wav_header(96000, 2, 48000);
	const std::vector<uint8_t> b(h.begin(), h.end());
	EXPECT_EQ(std::string(b.begin(), b.begin() + 4), "RIFF");
	EXPECT_EQ(u32_at(b, 4), 192036u);
	EXPECT_EQ(std::string(b.begin() + 8, b.begin() + 16), "WAVEfmt ");
	EXPECT_EQ(u32_at(b, 16), 16u);
	EXPECT_EQ(u16_at(b, 20), 1);
	EXPECT_EQ(u16_at(b, 22), 2);
	EXPECT_EQ(u32_at(b, 24), 48000u);
	EXPECT_EQ(u32_at(b, 28), 192000u);
	EXPECT_EQ(u16_at(b, 32), 4);
	EXPECT_EQ(u16_at(b, 34), 16);
	EXPECT_EQ(std::string(b.begin() + 36, b.begin() + 40), "data");
	EXPECT_EQ(u32_at(b, 40), 192000u);
}

TEST(WavHeader, LargestRecordingStillStatesItsSizes)
{
	const uint64_t max = wav_max_samples(2);
	EXPECT_EQ(max % 2, 0u);
	const auto h = make_wav_header(max, 2, 48000);
	const std::vector<uint8_t> b(h.begin(), h.end());
	EXPECT_EQ(u32_at(b, 40), max * 2);
	EXPECT_EQ(u32_at(b, 4), max * 2 + 36);
	// One more frame would wrap the RIFF size.
	EXPECT_GT((max + 2) * 2 + 36, uint64_t(UINT32_MAX));
	EXPECT_LE(recording_sample_limit(), max);
}

TEST(AudioRing, PositionsSurviveWrapAndOverwrite)
{
	AudioRing ring(2, 8);
	std::vector<int16_t> block;
	auto frames = [&](int first, int count) { // frame n holds (n, -n)
		block.clear();
		for (int n = first; n < first + count; ++n) {
			block.push_back(int16_t(n));
			block.push_back(int16_t(-n));
		}
		return block.data();
	};
	int16_t out[64];
	uint64_t from = 0;
	EXPECT_EQ(ring.read(from, out, 4), 0u);

	ring.write(frames(0, 5), 5);
	ring.write(frames(5, 5), 5); // wraps; frames 0 and 1 are gone
	EXPECT_EQ(ring.begin(), 2u);
	EXPECT_EQ(ring.end(), 10u);
	ASSERT_EQ(ring.read(from, out, 3), 3u);
	EXPECT_EQ(from, 2u) << "an overwritten position moves up to the oldest frame held";
	EXPECT_EQ(out[0], 2);
	EXPECT_EQ(out[1], -2);
	EXPECT_EQ(out[5], -4);

	from = 5;
	ASSERT_EQ(ring.read(from, out, 64), 5u); // across the wrap, cut at the end
	for (int i = 0; i < 5; ++i)
		EXPECT_EQ(out[2 * i], 5 + i);

	ring.write(frames(10, 20), 20); // longer than the ring: its last 8 frames stay
	EXPECT_EQ(ring.end(), 30u);
	from = 0;
	ASSERT_EQ(ring.read(from, out, 64), 8u);
	EXPECT_EQ(from, 22u);
	EXPECT_EQ(out[0], 22);
	EXPECT_EQ(out[15], -29);
}

TEST(FileLock, OneHolderAtATimeAndTheFileStaysUsable)
{
	// A folder of this run's own: runs of the suite side by side must not share it.
	testhost::TempDir scratch;
	const std::filesystem::path dir = scratch.path();
	const std::string path = (dir / "take.wav").string();
	std::ofstream(path) << "x";

	platform::FileLock first, second;
	EXPECT_FALSE(first.try_lock((dir / "missing.wav").string()));
	ASSERT_TRUE(first.try_lock(path));
	EXPECT_FALSE(second.try_lock(path)) << "a second lock on a held file must be refused";
	// The holder may still rename the file it owns.
	const std::string moved = (dir / "moved.wav").string();
	std::filesystem::rename(path, moved);
	EXPECT_FALSE(second.try_lock(moved));
	platform::FileLock taken = std::move(first);
	EXPECT_FALSE(first.locked());
	EXPECT_FALSE(second.try_lock(moved));
	taken.unlock();
	EXPECT_TRUE(second.try_lock(moved));
}

TEST(FileLock, ClaimingANameNeverReplacesAFileAndTheServerRecordFollows)
{
	testhost::TempDir scratch;
	const std::filesystem::path dir = scratch.path();
	const std::string a = (dir / "a.wav").string(), b = (dir / "b.wav").string();
	std::ofstream(a) << "take a";
	std::ofstream(b) << "take b";

	EXPECT_FALSE(platform::rename_no_replace(a, b));
	EXPECT_EQ(testhost::read_file(b), "take b");
	ASSERT_TRUE(write_take_record(a, {"http://one.example/up", false, {}}));
	ASSERT_TRUE(write_take_record(a, {"http://two.example/up", false, {}})); // replaced whole
	const std::string c = (dir / "c.wav").string();
	ASSERT_TRUE(platform::rename_no_replace(a, c));
	ASSERT_TRUE(move_take_record(a, c));
	EXPECT_EQ(testhost::recorded_url(c), "http://two.example/up");
	EXPECT_FALSE(read_take_record(a).has_value());
	ASSERT_TRUE(write_take_record(c, {"", false, {}})); // no server: no record
	EXPECT_FALSE(read_take_record(c).has_value());
	EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 2) << "no temporary left behind";

	// A record of a URL alone is the URL's bytes, as older versions wrote and still read it;
	// more survives a round trip, line breaks and escapes included, and a record cut short is none.
	EXPECT_EQ(encode_take_record({"http://plain.example/up", false, {}}), "http://plain.example/up");
	EXPECT_EQ(decode_take_record("http://old.example/up")->server.url, "http://old.example/up");
	const TakeRecord marked{{"http://x.example/a\nb%41", "t0k%en"}, true, "recording_5_2.wav"};
	const std::string bytes = encode_take_record(marked);
	const auto back = decode_take_record(bytes);
	ASSERT_TRUE(back);
	EXPECT_EQ(back->server, marked.server);
	EXPECT_TRUE(back->delivered);
	EXPECT_EQ(back->final_name, marked.final_name);
	EXPECT_FALSE(decode_take_record(bytes.substr(0, bytes.size() - 1)));
	EXPECT_FALSE(decode_take_record(""));
}
