// SPDX-License-Identifier: GPL-3.0-or-later
// One uploader listening to a test source called "Mic" inside a running libobs.
#pragma once

#include "../module/module-test-util.hpp"

#include <algorithm>
#include <string>
#include <vector>

namespace faults {

struct Instance {
	Instance(const std::string &url, bool silence_stop = false)
	{
		obs_hotkey_enable_callback_rerouting(true);
		mic.reset(testhost::create_test_audio_source("Mic"));
		testutil::DataPtr settings = testutil::settings_with_target("Mic");
		obs_data_set_string(settings.get(), "server_url", url.c_str());
		obs_data_set_bool(settings.get(), "enable_silence_stop", silence_stop);
		obs_data_set_double(settings.get(), "silence_threshold_db", -40.0);
		obs_data_set_int(settings.get(), "silence_duration_ms", 0);
		uploader = testutil::create_uploader("Uploader", settings.get());
		hotkey = testhost::find_source_hotkey(uploader.get(), "Brisvane.Trigger");
	}
	~Instance()
	{
		testutil::destroy(uploader);
		testutil::destroy(mic);
	}
	void press()
	{
		obs_hotkey_trigger_routed_callback(hotkey, true);
		obs_hotkey_trigger_routed_callback(hotkey, false);
	}
	void push(obs_source_t *to, const std::vector<float> &left, const std::vector<float> &right)
	{
		for (size_t at = 0; at < left.size(); at += 1024) {
			const auto n = uint32_t(std::min<size_t>(1024, left.size() - at));
			testhost::push_audio(to, left.data() + at, right.data() + at, n);
		}
	}
	void push(const std::vector<float> &samples) { push(mic.get(), samples, samples); }

	testutil::SourcePtr mic;
	testutil::SourcePtr uploader;
	obs_hotkey_id hotkey = OBS_INVALID_HOTKEY_ID;
};

} // namespace faults
