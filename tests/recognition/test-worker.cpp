// SPDX-License-Identifier: GPL-3.0-or-later
// The recogniser worker against the real libvosk, with the tone model (500 Hz is "старт",
// 2000 Hz is "стоп").
#include "obs-host.hpp"
#include "worker-test-util.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>

using testhost::Log;

namespace {

constexpr uint32_t rate = 48000;
constexpr size_t block = 1024;

std::string model_dir()
{
	return testhost::tone_model_dir("model-ru");
}

// Cuts a float signal into 16-bit chunks as the capture path does.
std::vector<AudioChunk> chunks_of(const std::vector<float> &signal)
{
	std::vector<AudioChunk> out;
	for (size_t start = 0; start < signal.size(); start += block) {
		size_t end = std::min(signal.size(), start + block);
		AudioChunk chunk;
		for (size_t i = start; i < end; ++i)
			chunk.push_back(static_cast<int16_t>(std::lround(signal[i] * 32767.0f)));
		out.push_back(std::move(chunk));
	}
	return out;
}

void append(std::vector<float> &to, const std::vector<float> &more)
{
	to.insert(to.end(), more.begin(), more.end());
}

bool is_final(const std::string &text, const char *word)
{
	return text.find("\"text\" : \"" + std::string(word) + "\"") != std::string::npos;
}

bool is_partial(const std::string &text, const char *word)
{
	return text.find("\"partial\" : \"" + std::string(word) + "\"") != std::string::npos;
}

} // namespace

TEST(RecognizerWorker, DeliversPartialsAndFinalsInOrderOnItsThread)
{
	std::vector<float> signal = testhost::tone(500, 1.0);
	append(signal, testhost::tone(0, 1.2));
	append(signal, testhost::tone(2000, 1.0));
	append(signal, testhost::tone(0, 1.2));
	std::vector<AudioChunk> chunks = chunks_of(signal);

	Deliveries got;
	RecognizerWorker worker(model_dir(), float(rate));
	ASSERT_TRUE(worker.ready());
	worker.on_result = got.callback();
	for (const auto &chunk : chunks)
		worker.push_audio(chunk);
	ASSERT_TRUE(got.wait_for(chunks.size()));
	std::thread::id worker_thread = worker.thread.get_id();

	std::vector<std::string> texts = got.texts();
	EXPECT_EQ(texts.size(), chunks.size()) << "one delivery per chunk";
	for (auto id : got.threads())
		EXPECT_EQ(id, worker_thread);
	EXPECT_NE(worker_thread, std::this_thread::get_id());

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
}

TEST(RecognizerWorker, FeedsAnEmptyChunkAndDeliversItsText)
{
	Deliveries got;
	RecognizerWorker worker(model_dir(), float(rate));
	worker.on_result = got.callback();
	worker.push_audio(AudioChunk{});
	ASSERT_TRUE(got.wait_for(1));
	EXPECT_TRUE(is_partial(got.texts().at(0), "")) << got.texts().at(0);
}

TEST(RecognizerWorker, DestroyDiscardsQueuedChunks)
{
	std::vector<AudioChunk> chunks = chunks_of(testhost::tone(500, 10.0));
	std::atomic<int> delivered{0};
	auto worker = std::make_unique<RecognizerWorker>(model_dir(), float(rate));
	RecognizerWorker *raw = worker.get();
	// The first result holds the worker until destruction has begun.
	worker->on_result = [&](const std::string &) {
		++delivered;
		while (raw->running)
			std::this_thread::sleep_for(std::chrono::milliseconds(1));
	};
	for (const auto &chunk : chunks)
		worker->push_audio(chunk);
	while (delivered == 0)
		std::this_thread::sleep_for(std::chrono::milliseconds(1));
	worker.reset();
	EXPECT_EQ(delivered, 1) << "only the chunk in hand is finished";
}

TEST(RecognizerWorker, MissingModelLeavesAnInertWorker)
{
	Log::install();
	Log::clear();
	testhost::TempDir dir;
	std::string missing = dir.path() + "/no-model";
	{
		RecognizerWorker worker(missing, float(rate));
		EXPECT_FALSE(worker.ready());
		EXPECT_EQ(worker.model, nullptr);
		EXPECT_EQ(worker.recognizer, nullptr);
		EXPECT_FALSE(worker.thread.joinable());
		EXPECT_FALSE(worker.running);
	}
	EXPECT_EQ(Log::count("[Vosk] Failed to load model from: " + missing, LOG_ERROR), 1u);
	EXPECT_EQ(Log::count("[Vosk] Model loaded successfully."), 0u);
}
