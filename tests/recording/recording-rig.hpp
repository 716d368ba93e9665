// SPDX-License-Identifier: GPL-3.0-or-later
// One uploader listening to one test audio source inside a running libobs, with functions to
// push audio, press the hotkey and read what the module saved.
#pragma once

#include "../module/module-test-util.hpp"
#include "test-files.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <thread>
#include <vector>

namespace rig {

using testhost::files_in;
using testhost::Log;
using testhost::read_bytes;

struct Rig {
	explicit Rig(const testhost::HostOptions &options = {}, const std::function<void(obs_data_t *)> &configure = {})
	    : host(options)
	{
		obs_hotkey_enable_callback_rerouting(true);
		mic.reset(testhost::create_test_audio_source("Mic"));
		testutil::DataPtr settings = testutil::settings_with_target("Mic");
		if (configure)
			configure(settings.get());
		uploader = testutil::create_uploader("Uploader", settings.get());
		ctx = testutil::context_of(uploader.get());
		hotkey = testhost::find_source_hotkey(uploader.get(), "Brisvane.Trigger");
		// Audio heard while the model still loads is not recognised.
		if (!options.model.empty() && ctx->takes && ctx->takes->has_recognizer()) {
			EXPECT_TRUE(testutil::wait_until_listening(ctx));
		}
		setup_log = Log::take();
	}
	~Rig()
	{
		testutil::destroy(uploader);
		testutil::destroy(mic);
	}

	void press(bool pressed = true) { obs_hotkey_trigger_routed_callback(hotkey, pressed); }

	// Pushes the same samples on both channels, in blocks of 1024 frames.
	void push(const std::vector<float> &samples)
	{
		for (size_t at = 0; at < samples.size(); at += 1024) {
			const auto n = uint32_t(std::min<size_t>(1024, samples.size() - at));
			testhost::push_audio(mic.get(), samples.data() + at, samples.data() + at, n);
		}
	}

	// Pushes silence a block at a time, at about real-time pace, until the line is logged.
	bool push_silence_until(const std::string &line, double max_seconds = 10)
	{
		const std::vector<float> block(1024, 0.0f);
		for (double t = 0; t < max_seconds; t += 1024.0 / 48000) {
			if (Log::contains(line))
				return true;
			push(block);
			std::this_thread::sleep_for(std::chrono::milliseconds(5));
		}
		return Log::contains(line);
	}

	testhost::ObsHost host;
	testutil::SourcePtr mic;
	testutil::SourcePtr uploader;
	SourceContext *ctx = nullptr;
	obs_hotkey_id hotkey = OBS_INVALID_HOTKEY_ID;
	// What the host and the module logged while the rig was set up.
	std::vector<testhost::LogLine> setup_log;
};

} // namespace rig
