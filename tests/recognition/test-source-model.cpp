// SPDX-License-Identifier: GPL-3.0-or-later
// Sources inside real libobs whose model loads slowly: the module runs beside the stand-in
// libvosk, whose loads the test holds for as long as it likes.
#include "../module/module-test-util.hpp"
#include "vosk-standin.hpp"
#include "worker-test-util.hpp"
#include "test-files.hpp"

#include <algorithm>
#include <cstring>

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
		EXPECT_TRUE(context_of(second.get())->takes->recording());
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
		EXPECT_TRUE(eventually([&] { return context_of(first.get())->takes->recording(); }));

		destroy(first);
		destroy(second);
		obs_hotkey_enable_callback_rerouting(false);
	}
	// Shutting down unloads the module, which waits for the model's free in the background.
	EXPECT_EQ(standin_live_models(), live);
}

// Results that come seconds after their words still bound the take by where the words were:
// it begins right after the start word and ends right after the stop word, exactly.
TEST(SourceModel, LateResultsStillGiveExactTakeBoundaries)
{
	testhost::HostOptions options;
	options.model = "model-ru";
	options.module_path = BRISVANE_STANDIN_MODULE;
	testhost::ObsHost host(options);
	SourcePtr mic(testhost::create_test_audio_source("Mic"));
	DataPtr settings = settings_with_target("Mic");
	// The stand-in answers "final v" to a piece whose first sample is v, and nothing to 0.
	obs_data_set_string(settings.get(), "start_keywords", "final 3");
	obs_data_set_string(settings.get(), "stop_keywords", "final 5");
	SourcePtr uploader = create_uploader("Uploader", settings.get());
	ASSERT_TRUE(wait_until_listening(context_of(uploader.get())));

	// Every piece is answered 40 ms late: the 40 blocks below arrive long before their results.
	standin_set_accept_delay_ms(40);
	Log::clear();
	const int start_block = 10, stop_block = 21, blocks = 40;
	std::vector<float> block(1024);
	for (int b = 0; b < blocks; ++b) {
		// Sample 0 scripts the word, the others say which block this is (+0.5: exact in 16 bits).
		std::fill(block.begin(), block.end(), (float(b) + 0.5f) / 32767.0f);
		block[0] = (b == start_block ? 3.5f : b == stop_block ? 5.5f : 0.0f) / 32767.0f;
		testhost::push_audio(mic.get(), block.data(), block.data(), 1024);
	}
	EXPECT_TRUE(Log::wait_for("[Kavrel Assistant] Saved to ", std::chrono::seconds(30)));
	standin_set_accept_delay_ms(0);
	context_of(uploader.get())->takes->wait_idle();

	std::vector<std::string> takes;
	for (const auto &file : testhost::files_in(host.recordings_dir()))
		if (file.find("/recording_") != std::string::npos)
			takes.push_back(file);
	ASSERT_EQ(takes.size(), 1u);
	const auto bytes = testhost::read_bytes(takes[0]);
	const size_t frames = (stop_block + 1 - (start_block + 1)) * 1024;
	ASSERT_EQ(bytes.size(), 44 + frames * 4) << "blocks " << start_block + 1 << " to " << stop_block;
	for (size_t frame = 0; frame < frames; ++frame) {
		const size_t b = start_block + 1 + frame / 1024;
		int16_t s[2];
		std::memcpy(s, &bytes[44 + frame * 4], 4);
		const int16_t expected = frame % 1024 == 0 ? int16_t(b == size_t(stop_block) ? 5 : 0) : int16_t(b);
		ASSERT_EQ(s[0], expected) << "frame " << frame;
		ASSERT_EQ(s[1], expected) << "frame " << frame;
	}
	destroy(uploader);
}
