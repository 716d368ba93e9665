// SPDX-License-Identifier: GPL-3.0-or-later
// Whole takes in real libobs, driven through libobs's key events and posted to the demo's
// receiver: separate instances and their keys, and the ends of a source's or the host's life
// while an upload is still on its way.
#include "e2e-support.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <thread>

namespace fs = std::filesystem;
using testhost::Log;

namespace {

// Pushes n blocks of 1024 frames of a 440 Hz tone on both channels.
void push_blocks(obs_source_t *source, int n)
{
	static const std::vector<float> block = testhost::tone(440.0, 1024.0 / 48000.0);
	for (int i = 0; i < n; ++i)
		testhost::push_audio(source, block.data(), block.data(), 1024);
}

size_t data_values(const receiver::Upload &upload)
{
	receiver::WavInfo info;
	return receiver::read_wav_info(upload.content, info) ? info.data_bytes / 2 : 0;
}

struct Source {
	explicit Source(obs_source_t *s) : source(s) {}
	~Source() { obs_source_release(source); }
	obs_source_t *source;
};

} // namespace

TEST(EndToEnd, EachInstanceAnswersOnlyItsOwnKey)
{
	testhost::TempDir received;
	receiver::Receiver server(received.path());
	testhost::ObsHost host;
	Source mic(testhost::create_test_audio_source("Mic"));
	const std::string base = "http://127.0.0.1:" + std::to_string(server.port());
	Source a(e2e::create_uploader("A", "Mic", base + "/a", OBS_KEY_F9));
	Source b(e2e::create_uploader("B", "Mic", base + "/b", OBS_KEY_F10));
	Log::clear();

	e2e::tap_key(OBS_KEY_F9); // A starts
	EXPECT_EQ(Log::count("[Brisvane] Started recording..."), 1u);
	push_blocks(mic.source, 3);
	e2e::tap_key(OBS_KEY_F10); // B starts; A goes on
	EXPECT_TRUE(e2e::wait_for_lines("[Brisvane] Started recording...", 2));
	EXPECT_EQ(Log::count("[Brisvane] Started recording..."), 2u);
	push_blocks(mic.source, 2);
	e2e::tap_key(OBS_KEY_F9); // A stops after 5 blocks
	push_blocks(mic.source, 1);
	e2e::tap_key(OBS_KEY_F10); // B stops after 3 blocks
	e2e::tap_key(OBS_KEY_F11); // bound to nothing
	EXPECT_TRUE(e2e::wait_for_lines("[Brisvane] Started recording...", 2));
	EXPECT_EQ(Log::count("[Brisvane] Started recording..."), 2u);

	ASSERT_TRUE(server.wait_for(2, std::chrono::seconds(10)));
	EXPECT_TRUE(e2e::wait_for_lines("[Brisvane] Temporary file deleted: ", 2));
	auto uploads = server.uploads();
	std::sort(uploads.begin(), uploads.end(),
		  [](const receiver::Upload &x, const receiver::Upload &y) { return x.request_line < y.request_line; });
	EXPECT_EQ(uploads[0].request_line, "POST /a HTTP/1.1");
	EXPECT_EQ(data_values(uploads[0]), 5u * 1024 * 2);
	EXPECT_EQ(uploads[1].request_line, "POST /b HTTP/1.1");
	EXPECT_EQ(data_values(uploads[1]), 3u * 1024 * 2);
}

TEST(EndToEnd, UploadOutlivesItsDestroyedSource)
{
	testhost::TempDir received;
	receiver::Receiver server(received.path());
	server.delay_answers(std::chrono::milliseconds(1500));
	testhost::ObsHost host;
	Source mic(testhost::create_test_audio_source("Mic"));
	auto uploader = std::make_unique<Source>(e2e::create_uploader("A", "Mic", server.url(), OBS_KEY_F9));
	Log::clear();

	e2e::tap_key(OBS_KEY_F9);
	push_blocks(mic.source, 4);
	e2e::tap_key(OBS_KEY_F9);
	const std::string path = e2e::saved_path();
	ASSERT_FALSE(path.empty());
	ASSERT_TRUE(server.wait_for(1, std::chrono::seconds(10))); // sent; the answer is held back

	uploader.reset();
	testhost::ObsHost::barrier();
	EXPECT_TRUE(fs::exists(path)) << "the upload is still waiting for its answer";

	EXPECT_TRUE(Log::wait_for("[Brisvane] Temporary file deleted: " + path));
	EXPECT_TRUE(Log::contains("[Brisvane] Upload complete. Status: 200"));
	EXPECT_FALSE(fs::exists(path));
	EXPECT_EQ(data_values(server.uploads().at(0)), 4u * 1024 * 2);
}

TEST(EndToEnd, ShutdownWithAnUploadInFlight)
{
	testhost::TempDir received;
	receiver::Receiver server(received.path());
	server.delay_answers(std::chrono::milliseconds(1500));
	{
		testhost::ObsHost host;
		Source mic(testhost::create_test_audio_source("Mic"));
		Source uploader(e2e::create_uploader("A", "Mic", server.url(), OBS_KEY_F9));
		Log::clear();
		e2e::tap_key(OBS_KEY_F9);
		push_blocks(mic.source, 2);
		e2e::tap_key(OBS_KEY_F9);
		ASSERT_TRUE(server.wait_for(1, std::chrono::seconds(10)));
	} // sources released and obs_shutdown while the upload waits for its answer

	// The upload thread ends on its own, after the host is gone.
	EXPECT_TRUE(Log::wait_for("[Brisvane] Upload complete. Status: 200"));
	EXPECT_EQ(data_values(server.uploads().at(0)), 2u * 1024 * 2);

	// A later host in the same process works as before.
	testhost::ObsHost again;
	Source mic(testhost::create_test_audio_source("Mic"));
	Source uploader(e2e::create_uploader("A", "Mic", server.url(), OBS_KEY_F9));
	server.delay_answers(std::chrono::milliseconds(0));
	e2e::tap_key(OBS_KEY_F9);
	push_blocks(mic.source, 1);
	e2e::tap_key(OBS_KEY_F9);
	EXPECT_TRUE(server.wait_for(2, std::chrono::seconds(10)));
	EXPECT_TRUE(e2e::wait_for_lines("[Brisvane] Temporary file deleted: ", 1));
}

TEST(EndToEnd, TargetRemovedFromObsWhileAttached)
{
	testhost::TempDir received;
	receiver::Receiver server(received.path());
	testhost::ObsHost host;
	obs_source_t *mic = testhost::create_test_audio_source("Mic");
	obs_weak_source_t *weak_mic = obs_source_get_weak_source(mic);
	auto uploader = std::make_unique<Source>(e2e::create_uploader("A", "Mic", server.url(), OBS_KEY_F9));
	Log::clear();

	e2e::tap_key(OBS_KEY_F9);
	push_blocks(mic, 3);
	obs_source_remove(mic); // the user deletes it while a take runs
	EXPECT_TRUE(obs_source_removed(mic));
	push_blocks(mic, 1);
	obs_source_release(mic);
	e2e::tap_key(OBS_KEY_F9);

	ASSERT_TRUE(server.wait_for(1, std::chrono::seconds(10)));
	const size_t values = data_values(server.uploads().at(0));
	EXPECT_GE(values, 3u * 1024 * 2);
	EXPECT_LE(values, 4u * 1024 * 2);
	EXPECT_TRUE(Log::wait_for("[Brisvane] Temporary file deleted: "));

	// Pointing the source elsewhere lets the removed one go.
	obs_data_t *settings = obs_data_create();
	obs_data_set_string(settings, "target_source", "Elsewhere");
	obs_source_update(uploader->source, settings);
	obs_data_release(settings);
	testhost::ObsHost::barrier();
	obs_source_t *still = obs_weak_source_get_source(weak_mic);
	EXPECT_EQ(still, nullptr) << "the removed source is still held";
	obs_source_release(still);
	obs_weak_source_release(weak_mic);

	// And a press still makes a (silent, empty) take without a target.
	e2e::tap_key(OBS_KEY_F9);
	e2e::tap_key(OBS_KEY_F9);
	EXPECT_TRUE(Log::wait_for("[Kavrel Assistant] Stopped recording. Buffer size: 0 samples"));
	uploader.reset();
}
