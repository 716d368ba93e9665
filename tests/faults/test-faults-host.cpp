// SPDX-License-Identifier: GPL-3.0-or-later
// Faults met inside a running OBS: a damaged model, unusual output formats, audio that is
// not a number, and the listened source removed and made again.
#include "fault-server.hpp"
#include "fault-util.hpp"
#include "host-instance.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>

namespace fs = std::filesystem;
using faults::FaultServer;
using faults::Instance;
using testhost::Log;

namespace {

struct Wav {
	uint16_t channels = 0;
	uint32_t rate = 0;
	std::vector<int16_t> samples;
};

Wav read_wav(const std::string &path)
{
	const std::string bytes = faults::read_file(path);
	Wav wav;
	if (bytes.size() < 44)
		return wav;
	std::memcpy(&wav.channels, bytes.data() + 22, 2);
	std::memcpy(&wav.rate, bytes.data() + 24, 4);
	uint32_t data_size = 0;
	std::memcpy(&data_size, bytes.data() + 40, 4);
	EXPECT_EQ(size_t(data_size) + 44, bytes.size());
	wav.samples.resize((bytes.size() - 44) / 2);
	std::memcpy(wav.samples.data(), bytes.data() + 44, wav.samples.size() * 2);
	return wav;
}

// The one recording kept (no URL, so the upload leaves it in place).
Wav only_recording(const testhost::ObsHost &host)
{
	EXPECT_TRUE(Log::wait_for("[Brisvane] No URL configured."));
	const auto files = faults::files_in(host.recordings_dir());
	EXPECT_EQ(files.size(), 1u);
	return files.empty() ? Wav{} : read_wav(files[0]);
}

class HostFaults : public testing::Test {
protected:
	static void SetUpTestSuite() { Log::install(); }
};

TEST_F(HostFaults, OutputAt22050HzAndEightChannels)
{
	for (speaker_layout layout : {SPEAKERS_STEREO, SPEAKERS_7POINT1}) {
		SCOPED_TRACE(int(layout));
		testhost::HostOptions options;
		options.samples_per_sec = 22050;
		options.speakers = layout;
		testhost::ObsHost host(options);
		{
			Instance instance("");
			Log::clear();
			instance.press();
			// One second pushed at 48 kHz; OBS resamples it to its own output.
			const auto left = testhost::tone(440, 1.0, 48000, 0.5f);
			const auto right = testhost::tone(0, 1.0, 48000);
			instance.push(instance.mic.get(), left, right);
			instance.press();
			const Wav wav = only_recording(host);
			EXPECT_EQ(wav.rate, 22050u);
			EXPECT_EQ(wav.channels, 2u);
			// About a second of frames: resampling holds some back, never adds a lot.
			const size_t frames = wav.samples.size() / 2;
			EXPECT_GT(frames, 22050u * 8 / 10);
			EXPECT_LE(frames, 22050u * 11 / 10);
			int16_t peak_left = 0, peak_right = 0;
			for (size_t i = 0; i + 1 < wav.samples.size(); i += 2) {
				peak_left = std::max<int16_t>(peak_left, int16_t(std::abs(wav.samples[i])));
				peak_right = std::max<int16_t>(peak_right, int16_t(std::abs(wav.samples[i + 1])));
			}
			EXPECT_GT(peak_left, 8000) << "the tone reached the left channel";
			EXPECT_LT(peak_right, 1000) << "the silent channel stayed silent";
		}
		testhost::ObsHost::barrier();
	}
}

TEST_F(HostFaults, BlocksOfNanAndInfinity)
{
	const float nan = std::numeric_limits<float>::quiet_NaN();
	const float inf = std::numeric_limits<float>::infinity();
	{
		// A take whose middle is not a number: saved whole, the bad samples as silence.
		testhost::HostOptions options;
		options.model = "model-ru";
		testhost::ObsHost host(options);
		Instance instance("");
		Log::clear();
		instance.press();
		instance.push(testhost::tone(440, 0.1));
		instance.push(std::vector<float>(1024, nan));
		instance.push(std::vector<float>(1024, inf));
		instance.push(std::vector<float>(1024, -inf));
		std::vector<float> mixed = testhost::tone(440, 1024.0 / 48000);
		for (size_t i = 0; i < mixed.size(); i += 3)
			mixed[i] = i % 2 ? nan : -inf;
		instance.push(mixed);
		instance.push(testhost::tone(440, 0.1));
		instance.press();
		const Wav wav = only_recording(host);
		ASSERT_EQ(wav.samples.size(), size_t(2 * (4800 + 4 * 1024 + 4800)));
		for (size_t i = 2 * 4800; i < 2 * (4800 + 3 * 1024); ++i)
			ASSERT_EQ(wav.samples[i], 0) << "value " << i;
		for (int16_t s : wav.samples)
			ASSERT_NE(s, INT16_MIN) << "full scale is +-32767";
	}
	{
		// Blocks of NaN alone measure as silence and end a take by the silence rule.
		testhost::ObsHost host;
		Instance instance("", true);
		Log::clear();
		instance.press();
		instance.push(testhost::tone(440, 0.1));
		for (int i = 0; i < 5 && !Log::contains("Silence detected"); ++i)
			instance.push(std::vector<float>(1024, nan));
		EXPECT_TRUE(Log::contains("[Kavrel Assistant] Silence detected (-100.000000 dB). Stopping..."));
		EXPECT_TRUE(Log::wait_for("[Brisvane] No URL configured."));
	}
}

TEST_F(HostFaults, TargetRemovedAndMadeAgainUnderTheSameName)
{
	testhost::ObsHost host;
	Instance instance("");
	obs_weak_source_t *weak_old = obs_source_get_weak_source(instance.mic.get());
	Log::clear();

	// The take running when the user deletes the source keeps what it heard, and goes on
	// with the source made again under the same name.
	instance.press();
	instance.push(testhost::tone(440, 3 * 1024.0 / 48000));
	obs_source_remove(instance.mic.get());
	instance.mic.reset();
	testhost::ObsHost::barrier();
	obs_source_t *old_source = obs_weak_source_get_source(weak_old);
	EXPECT_EQ(old_source, nullptr) << "the removed source is still held";
	obs_source_release(old_source);
	obs_weak_source_release(weak_old);
	testutil::SourcePtr again(testhost::create_test_audio_source("Mic"));
	instance.push(again.get(), testhost::tone(440, 1024.0 / 48000), testhost::tone(440, 1024.0 / 48000));
	instance.press();
	EXPECT_EQ(only_recording(host).samples.size(), size_t(4 * 1024 * 2));
	fs::remove_all(host.recordings_dir());

	// Applying the same settings again changes nothing.
	testutil::DataPtr settings = testutil::settings_with_target("Mic");
	obs_source_update(instance.uploader.get(), settings.get());
	Log::clear();
	instance.press();
	instance.push(again.get(), testhost::tone(440, 2 * 1024.0 / 48000), testhost::tone(440, 2 * 1024.0 / 48000));
	instance.press();
	EXPECT_EQ(only_recording(host).samples.size(), size_t(2 * 1024 * 2));
	testutil::destroy(again);
}

} // namespace
