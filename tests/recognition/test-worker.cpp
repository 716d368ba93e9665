// SPDX-License-Identifier: GPL-3.0-or-later
// The recogniser worker against the real libvosk, with the tone model (500 Hz is "старт",
// 2000 Hz is "стоп").
#include "obs-host.hpp"
#include "worker-test-util.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

using testhost::Log;

namespace {

constexpr uint32_t rate = 48000;
constexpr size_t block = 1024;

std::string model_dir()
{
	return testhost::tone_model_dir("model-ru");
}

// The signal as 16-bit samples, as the capture path converts them.
std::vector<int16_t> samples_of(const std::vector<float> &signal)
{
	std::vector<int16_t> out;
	for (float v : signal)
		out.push_back(static_cast<int16_t>(std::lround(v * 32767.0f)));
	return out;
}

void append(std::vector<float> &to, const std::vector<float> &more)
{
	to.insert(to.end(), more.begin(), more.end());
}

bool is_final(const std::string &text, const char *word)
{
	return text == "final: " + std::string(word);
}

bool is_partial(const std::string &text, const char *word)
{
	return text == "partial: " + std::string(word);
}

// Asked for word lists or not, the same story; asked, each word's place in the ring.
void delivers_in_order(bool words)
{
	std::vector<float> signal = testhost::tone(500, 1.0);
	append(signal, testhost::tone(0, 1.2));
	append(signal, testhost::tone(2000, 1.0));
	append(signal, testhost::tone(0, 1.2));
	const std::vector<int16_t> mono = samples_of(signal);
	const size_t pieces = mono.size() / RecognizerWorker::piece_frames;

	AudioRing ring(2, 10 * rate);
	// Audio before the model was ready is not fed: word times still come out as ring positions.
	const std::vector<int16_t> before(3000, 0);
	ring.write(before.data(), 1500);
	Deliveries got(words);
	RecognizerWorker worker(ring, model_dir(), float(rate), got.callback());
	ASSERT_TRUE(eventually([&] { return worker.listening(); }));
	for (size_t at = 0; at < mono.size(); at += block)
		write_mono(ring, worker,
			   std::vector<int16_t>(mono.begin() + at, mono.begin() + std::min(mono.size(), at + block)));
	ASSERT_TRUE(got.wait_for(pieces));

	std::vector<std::string> texts = got.texts();
	EXPECT_EQ(texts.size(), pieces) << "one delivery per piece";
	std::vector<uint64_t> positions = got.positions();
	for (size_t i = 0; i < positions.size(); ++i)
		EXPECT_EQ(positions[i], 1500 + (i + 1) * RecognizerWorker::piece_frames);
	std::vector<std::thread::id> threads = got.threads();
	for (auto id : threads)
		EXPECT_EQ(id, threads.front());
	EXPECT_NE(threads.front(), std::this_thread::get_id());

	// Expected story: partial "старт", final "старт", partial "стоп", final "стоп".
	std::vector<std::string> story;
	for (const auto &text : texts) {
		const char *step = nullptr;
		if (is_partial(text, "старт"))
			step = "partial старт";
		else if (is_final(text, "старт"))
			step = "final старт";
		else if (is_partial(text, "стоп"))
			step = "partial стоп";
		else if (is_final(text, "стоп"))
			step = "final стоп";
		else
			EXPECT_TRUE(is_partial(text, "")) << text;
		if (step && (story.empty() || story.back() != step))
			story.push_back(step);
	}
	EXPECT_EQ(story, (std::vector<std::string>{"partial старт", "final старт", "partial стоп", "final стоп"}));

	// The tones lie at 0-1 s and 2.2-3.2 s of what was fed.
	const auto finals = got.final_words();
	ASSERT_EQ(finals.size(), words ? 2u : 0u);
	const double tones[2][2] = {{0.0, 1.0}, {2.2, 3.2}};
	for (size_t w = 0; w < finals.size(); ++w) {
		ASSERT_EQ(finals[w].size(), 1u);
		EXPECT_NEAR(double(finals[w][0].begin - 1500) / rate, tones[w][0], 0.035) << w;
		EXPECT_NEAR(double(finals[w][0].end - 1500) / rate, tones[w][1], 0.035) << w;
	}
}

} // namespace

TEST(RecognizerWorker, DeliversPartialsAndFinalsInOrderOnItsThread)
{
	delivers_in_order(false);
	delivers_in_order(true);
}

TEST(RecognizerWorker, MissingModelLeavesAnInertWorker)
{
	Log::install();
	Log::clear();
	testhost::TempDir dir;
	std::string missing = dir.path() + "/no-model";
	{
		AudioRing ring(2, rate);
		RecognizerWorker worker(ring, missing, float(rate), {});
		ASSERT_TRUE(Log::wait_for("[Vosk] Failed to load model from: " + missing));
		EXPECT_FALSE(worker.listening());
	}
	model_cache::wait_for_model_loads();
	EXPECT_EQ(Log::count("[Vosk] Failed to load model from: " + missing, LOG_ERROR), 1u);
	EXPECT_EQ(Log::count("[Vosk] Model loaded successfully."), 0u);
}
