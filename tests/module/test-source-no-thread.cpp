// SPDX-License-Identifier: GPL-3.0-or-later
// An instance whose recognition thread cannot start (its own binary: thread starts are
// made to fail process-wide).
#include "module-test-util.hpp"
#include "thread-start-failure.hpp"

#include <gtest/gtest.h>

TEST(SourceWithoutThread, IsCreatedWithoutRecognitionAndSaysSo)
{
	testhost::HostOptions options;
	options.model = "model-ru";
	testhost::ObsHost host(options);
	testhost::Log::clear();
	testutil::SourcePtr mic(testhost::create_test_audio_source("Mic"));
	testutil::DataPtr settings = testutil::settings_with_target("Mic");

	testhost::fail_thread_starts(true);
	testutil::SourcePtr uploader = testutil::create_uploader("Uploader", settings.get());
	testhost::fail_thread_starts(false);

	SourceContext *ctx = testutil::context_of(uploader.get());
	ASSERT_NE(ctx, nullptr);
	EXPECT_EQ(ctx->takes, nullptr);
	EXPECT_TRUE(testutil::listens_to(ctx, mic.get())) << "the rest of the instance still works";
	EXPECT_NE(testhost::find_source_hotkey(uploader.get(), "Brisvane.Trigger"), OBS_INVALID_HOTKEY_ID);

	// Nor its recording thread: it says it cannot record, and the hotkey does nothing.
	EXPECT_EQ(testhost::Log::count("[Kavrel Assistant] Could not start the recording thread", LOG_ERROR), 1u);
	EXPECT_EQ(ctx->takes, nullptr);
	const obs_hotkey_id hotkey = testhost::find_source_hotkey(uploader.get(), "Brisvane.Trigger");
	obs_hotkey_enable_callback_rerouting(true);
	obs_hotkey_trigger_routed_callback(hotkey, true);
	testutil::destroy(uploader);
}
