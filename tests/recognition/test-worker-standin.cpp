// SPDX-License-Identifier: GPL-3.0-or-later
// The worker's handling of answers the real libvosk never gives on demand.
#include "obs-host.hpp"
#include "thread-start-failure.hpp"
#include "vosk-standin.hpp"
#include "worker-test-util.hpp"

#include <gtest/gtest.h>

#include <stdexcept>
#include <system_error>

using testhost::Log;

namespace {

void wait_for_accepts(int n)
{
	for (int i = 0; i < 60000 && standin_accept_calls() < n; ++i)
		std::this_thread::sleep_for(std::chrono::milliseconds(1));
	ASSERT_GE(standin_accept_calls(), n);
}

} // namespace

TEST(WorkerStandIn, ErrorsFetchTheFinalResultAndNullTextsAreSkipped)
{
	Deliveries got;
	RecognizerWorker worker("model", 48000.0f);
	worker.on_result = got.callback();
	int before = standin_accept_calls();
	for (int first : {-3, 0, 7, 8, 1})
		worker.push_audio(AudioChunk{static_cast<int16_t>(first), 0, 0});
	wait_for_accepts(before + 5);
	ASSERT_TRUE(got.wait_for(3));
	EXPECT_EQ(got.texts(), (std::vector<std::string>{"final -3", "partial 0", "final 1"}));
}

TEST(WorkerStandIn, KeepsWorkingWithoutOrDespiteItsCallback)
{
	Log::install();
	Log::clear();
	{
		RecognizerWorker worker("model", 48000.0f);
		int before = standin_accept_calls();
		worker.push_audio(AudioChunk{1});
		wait_for_accepts(before + 1);
	}

	// A callback that throws must not take the thread (and OBS) down.
	Deliveries got;
	ResultCallback deliver = got.callback();
	RecognizerWorker worker("model", 48000.0f);
	worker.on_result = [&](const std::string &text) {
		if (text == "final 1")
			throw std::runtime_error("boom");
		deliver(text);
	};
	worker.push_audio(AudioChunk{1});
	worker.push_audio(AudioChunk{2});
	ASSERT_TRUE(got.wait_for(1));
	EXPECT_EQ(got.texts(), (std::vector<std::string>{"final 2"}));
	EXPECT_EQ(Log::count("boom", LOG_ERROR), 1u);
}

TEST(WorkerStandIn, AnInertWorkerFreesNothing)
{
	int before = standin_frees();
	{
		RecognizerWorker worker("/models/missing", 48000.0f);
		EXPECT_FALSE(worker.thread.joinable());
	}
	EXPECT_EQ(standin_frees(), before);
	{
		RecognizerWorker worker("model", 48000.0f);
	}
	EXPECT_EQ(standin_frees(), before + 2);
}

TEST(WorkerStandIn, AThreadThatCannotStartFreesVoskAndReportsIt)
{
	int before = standin_frees();
	testhost::fail_thread_starts(true);
	try {
		RecognizerWorker worker("model", 48000.0f);
		ADD_FAILURE() << "construction succeeded without a thread";
	} catch (const std::system_error &e) {
		EXPECT_EQ(e.code(), std::errc::resource_unavailable_try_again);
	}
	testhost::fail_thread_starts(false);
	EXPECT_EQ(standin_frees(), before + 2);
}
