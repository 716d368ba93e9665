// SPDX-License-Identifier: GPL-3.0-or-later
// The worker and the model cache against a stand-in libvosk: answers the real one never
// gives on demand, loads that take as long as a test wants, and answers that come late.
#include "obs-host.hpp"
#include "thread-start-failure.hpp"
#include "vosk-standin.hpp"
#include "worker-test-util.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <system_error>

using testhost::Log;

namespace {

constexpr uint64_t piece = RecognizerWorker::piece_frames;

// One piece whose first sample scripts the stand-in's answer.
std::vector<int16_t> scripted(int16_t first, size_t frames = piece)
{
	std::vector<int16_t> samples(frames, 0);
	samples[0] = first;
	return samples;
}

class WorkerStandIn : public ::testing::Test {
protected:
	void SetUp() override
	{
		Log::install();
		Log::clear();
	}
	void TearDown() override
	{
		standin_hold_loads(false);
		standin_hold_accepts(false);
		model_cache::wait_for_model_loads();
	}
};

} // namespace

TEST_F(WorkerStandIn, FollowsTheRingFromWhereItsModelBecameReady)
{
	AudioRing ring(2, 48000);
	Deliveries got;
	standin_hold_loads(true);
	RecognizerWorker worker(ring, "model", 48000.0f, got.callback());
	// Heard while the model loads: never recognised.
	for (int i = 0; i < 3; ++i)
		write_mono(ring, worker, scripted(5));
	const int before = standin_accept_calls();
	standin_hold_loads(false);
	ASSERT_TRUE(eventually([&] { return worker.listening(); }));

	for (int first : {-3, 0, 7, 8, 1})
		write_mono(ring, worker, scripted(int16_t(first)));
	write_mono(ring, worker, scripted(1, piece / 2)); // waits for the rest of its piece
	ASSERT_TRUE(got.wait_for(3));
	ASSERT_TRUE(eventually([&] { return standin_accept_calls() == before + 5; }));
	// Errors fetch the final result; null texts are skipped; positions are past each piece.
	EXPECT_EQ(got.texts(), (std::vector<std::string>{"final: final -3", "partial: partial 0", "final: final 1"}));
	EXPECT_EQ(got.positions(), (std::vector<uint64_t>{4 * piece, 5 * piece, 8 * piece}));
}

TEST_F(WorkerStandIn, KeepsWorkingDespiteItsCallback)
{
	// A callback that throws must not take the thread (and OBS) down.
	AudioRing ring(2, 48000);
	Deliveries got;
	ResultCallback deliver = got.callback();
	RecognizerWorker worker(ring, "model", 48000.0f, [&](const RecognitionResult &heard) {
		if (heard.text == "final 1")
			throw std::runtime_error("boom");
		return deliver(heard);
	});
	ASSERT_TRUE(eventually([&] { return worker.listening(); }));
	write_mono(ring, worker, scripted(1));
	write_mono(ring, worker, scripted(2));
	ASSERT_TRUE(got.wait_for(1));
	EXPECT_EQ(got.texts(), (std::vector<std::string>{"final: final 2"}));
	EXPECT_EQ(Log::count("boom", LOG_ERROR), 1u);
}

TEST_F(WorkerStandIn, SourcesShareOneLoadAndNeverWaitForIt)
{
	AudioRing ring(2, 48000);
	Deliveries got;
	const int loads = standin_model_loads();
	const int live = standin_live_models();
	standin_hold_loads(true);
	auto first = std::make_unique<RecognizerWorker>(ring, "shared", 48000.0f, got.callback());
	auto second = std::make_unique<RecognizerWorker>(ring, "shared", 48000.0f, got.callback());
	auto other = std::make_unique<RecognizerWorker>(ring, "other", 48000.0f, got.callback());
	ASSERT_TRUE(eventually([&] { return standin_model_loads() == loads + 2; }));

	// Deleted while their loads are held: neither waits for them.
	other.reset();
	first.reset();
	standin_hold_loads(false);
	ASSERT_TRUE(eventually([&] { return second->listening(); }));
	model_cache::wait_for_model_loads();
	EXPECT_EQ(standin_model_loads(), loads + 2);
	EXPECT_EQ(standin_live_models(), live + 1) << "the orphaned load was freed when it ended";
	EXPECT_EQ(Log::count("[Vosk] Model loaded successfully.", LOG_INFO), 1u) << "only for a source still there";

	// A user arriving later shares the loaded model; it is freed with its last user.
	auto third = std::make_unique<RecognizerWorker>(ring, "shared", 48000.0f, got.callback());
	ASSERT_TRUE(eventually([&] { return third->listening(); }));
	EXPECT_EQ(standin_model_loads(), loads + 2);
	second.reset();
	third.reset();
	model_cache::wait_for_model_loads();
	EXPECT_EQ(standin_live_models(), live);
}

TEST_F(WorkerStandIn, AFailedLoadIsTriedAgainByTheNextUser)
{
	AudioRing ring(2, 48000);
	Deliveries got;
	const std::string failure = "[Vosk] Failed to load model from: /models/missing";
	const int loads = standin_model_loads();
	RecognizerWorker first(ring, "/models/missing", 48000.0f, got.callback());
	ASSERT_TRUE(eventually([&] { return Log::count(failure, LOG_ERROR) == 1; }));
	RecognizerWorker second(ring, "/models/missing", 48000.0f, got.callback());
	ASSERT_TRUE(eventually([&] { return Log::count(failure, LOG_ERROR) == 2; }));
	EXPECT_EQ(standin_model_loads(), loads + 2);
	first.retry_failed_load();
	ASSERT_TRUE(eventually([&] { return Log::count(failure, LOG_ERROR) == 3; }));
	EXPECT_EQ(standin_model_loads(), loads + 3);
	EXPECT_FALSE(first.listening());
}

TEST_F(WorkerStandIn, LateAnswersSkipAheadOncePerEpisodeAndKeepTheirPositions)
{
	AudioRing ring(2, uint32_t(8 * piece));
	Deliveries got;
	RecognizerWorker worker(ring, "model", 48000.0f, got.callback());
	ASSERT_TRUE(eventually([&] { return worker.listening(); }));

	// Vosk holds the first piece while 20 more arrive: the ring keeps only the last 8.
	auto episode = [&](size_t delivered_before) {
		const int accepts = standin_accept_calls();
		standin_hold_accepts(true);
		write_mono(ring, worker, scripted(1));
		ASSERT_TRUE(eventually([&] { return standin_accept_calls() == accepts + 1; }));
		for (int i = 0; i < 20; ++i)
			write_mono(ring, worker, scripted(1));
		standin_hold_accepts(false);
		ASSERT_TRUE(got.wait_for(delivered_before + 9));
		ASSERT_TRUE(eventually([&] { return worker.position() == ring.end(); })) << "caught up";
	};
	episode(0);
	std::vector<uint64_t> expected{piece};
	for (uint64_t p = 14; p <= 21; ++p)
		expected.push_back(p * piece);
	EXPECT_EQ(got.positions(), expected);
	// 12 pieces of 1024 frames at 48 kHz.
	EXPECT_EQ(Log::count("[Vosk] Recognition fell behind; skipped 0.3 s of audio", LOG_WARNING), 1u);

	episode(9);
	EXPECT_EQ(got.positions().back(), 42 * piece);
	EXPECT_EQ(Log::count("[Vosk] Recognition fell behind", LOG_WARNING), 2u);
}

TEST_F(WorkerStandIn, AThreadThatCannotStartLeavesNothingBehind)
{
	AudioRing ring(2, 48000);
	const int loads = standin_model_loads();
	const int live = standin_live_models();
	testhost::fail_thread_starts(true);
	try {
		RecognizerWorker worker(ring, "model", 48000.0f, {});
		ADD_FAILURE() << "construction succeeded without a thread";
	} catch (const std::system_error &e) {
		EXPECT_EQ(e.code(), std::errc::resource_unavailable_try_again);
	}
	testhost::fail_thread_starts(false);
	model_cache::wait_for_model_loads();
	EXPECT_EQ(standin_model_loads(), loads);
	EXPECT_EQ(standin_live_models(), live);
}
