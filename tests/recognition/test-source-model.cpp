// SPDX-License-Identifier: GPL-3.0-or-later
// Sources inside real libobs whose model loads slowly: the module runs beside the stand-in
// libvosk, whose loads the test holds for as long as it likes.
#include "../module/module-test-util.hpp"
#include "vosk-standin.hpp"
#include "worker-test-util.hpp"

#include <gtest/gtest.h>

using namespace testutil;
using testhost::Log;

TEST(SourceModel, SourcesShareOneSlowLoadNeverWaitForItAndThenHearKeywords)
{
	const int loads = standin_model_loads();
	const int live = standin_live_models();
	{
		testhost::HostOptions options;
		options.model = "model-ru"; // a folder to find; the stand-in reads nothing from it
		options.module_path = BRISVANE_STANDIN_MODULE;
		testhost::ObsHost host(options);
		obs_hotkey_enable_callback_rerouting(true);
		Log::clear();
		SourcePtr mic(testhost::create_test_audio_source("Mic"));
		DataPtr settings = settings_with_target("Mic");
		// The stand-in answers "final 3" to a piece whose first sample is 3.
		obs_data_set_string(settings.get(), "start_keywords", "final 3");

		standin_hold_loads(true);
		SourcePtr first = create_uploader("First", settings.get());
		SourcePtr second = create_uploader("Second", settings.get());
		SourcePtr gone = create_uploader("Gone", settings.get());
		ASSERT_TRUE(eventually([&] { return standin_model_loads() == loads + 1; }));

		// While the model loads, the hotkey records.
		const obs_hotkey_id hotkey = testhost::find_source_hotkey(second.get(), "Brisvane.Trigger");
		obs_hotkey_trigger_routed_callback(hotkey, true);
		EXPECT_TRUE(context_of(second.get())->recording);
		obs_hotkey_trigger_routed_callback(hotkey, false);

		// Deleted while its model loads: it goes at once.
		destroy(gone);
		standin_hold_loads(false);
		ASSERT_TRUE(wait_until_listening(context_of(first.get())));
		ASSERT_TRUE(wait_until_listening(context_of(second.get())));
		EXPECT_EQ(standin_model_loads(), loads + 1);
		EXPECT_EQ(standin_live_models(), live + 1);
		EXPECT_EQ(Log::count("[Vosk] Model loaded successfully.", LOG_INFO), 2u)
		    << "not for the deleted source";

		// From here on, what the source hears reaches the keywords.
		const std::vector<float> block(1024, 3.5f / 32767.0f);
		testhost::push_audio(mic.get(), block.data(), block.data(), 1024);
		EXPECT_TRUE(Log::wait_for("[Kavrel Assistant] Start keyword detected: final 3"));
		EXPECT_TRUE(eventually([&] { return context_of(first.get())->recording.load(); }));

		destroy(first);
		destroy(second);
		obs_hotkey_enable_callback_rerouting(false);
	}
	// Shutting down unloads the module, which waits for the model's free in the background.
	EXPECT_EQ(standin_live_models(), live);
}
