// SPDX-License-Identifier: GPL-3.0-or-later
// Instances inside real libobs: attaching to the listened source, settings, the hotkey and
// the recogniser.
#include "module-test-util.hpp"
#include "recognition/recognizer-worker.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

using namespace testutil;
using testhost::Log;

namespace {

const char *listening = "[Kavrel Assistant] Listening to source: ";

bool expired(obs_weak_source_t *weak)
{
	bool gone = obs_weak_source_expired(weak);
	obs_weak_source_release(weak);
	return gone;
}

struct HotkeyInfo {
	obs_source_t *source = nullptr;
	size_t count = 0;
	std::string name, description;
};

bool describe_hotkey(void *param, obs_hotkey_id, obs_hotkey_t *key)
{
	auto *info = static_cast<HotkeyInfo *>(param);
	if (obs_hotkey_get_registerer_type(key) != OBS_HOTKEY_REGISTERER_SOURCE)
		return true;
	auto *weak = static_cast<obs_weak_source_t *>(obs_hotkey_get_registerer(key));
	if (weak && obs_weak_source_references_source(weak, info->source)) {
		++info->count;
		info->name = obs_hotkey_get_name(key);
		info->description = obs_hotkey_get_description(key);
	}
	return true;
}

class SourceLifecycle : public ::testing::Test {
protected:
	void SetUp() override { Log::clear(); }
};

} // namespace

TEST_F(SourceLifecycle, AttachesToTheNamedSourceAndDetachesOnChange)
{
	testhost::ObsHost host;
	SourcePtr mic(testhost::create_test_audio_source("Mic"));
	SourcePtr desk(testhost::create_test_audio_source("Desk"));
	obs_weak_source_t *mic_weak = obs_source_get_weak_source(mic.get());

	DataPtr settings = settings_with_target("Mic");
	SourcePtr uploader = create_uploader("Uploader", settings.get());
	SourceContext *ctx = context_of(uploader.get());
	EXPECT_EQ(ctx->target, mic.get());
	EXPECT_EQ(ctx->target_source_name, "Mic");
	EXPECT_EQ(Log::count(std::string(listening) + "Mic", LOG_INFO), 1u);

	// The same name again, through update and through load: nothing happens.
	obs_source_update(uploader.get(), settings.get());
	obs_source_load(uploader.get());
	EXPECT_EQ(ctx->target, mic.get());
	EXPECT_EQ(Log::count(listening), 1u);

	// Switching releases the old target: with our reference gone, it dies with the test's.
	obs_data_set_string(settings.get(), "target_source", "Desk");
	obs_source_update(uploader.get(), settings.get());
	EXPECT_EQ(ctx->target, desk.get());
	EXPECT_EQ(Log::count(std::string(listening) + "Desk", LOG_INFO), 1u);
	mic.reset();
	host.barrier();
	EXPECT_TRUE(expired(mic_weak));

	// Our reference to the target goes with the instance.
	obs_weak_source_t *desk_weak = obs_source_get_weak_source(desk.get());
	destroy(uploader);
	desk.reset();
	host.barrier();
	EXPECT_TRUE(expired(desk_weak));
}

TEST_F(SourceLifecycle, NamesAreExactAndMissingSourcesAreNotLookedUpAgain)
{
	testhost::ObsHost host;
	SourcePtr upper(testhost::create_test_audio_source("MIC"));
	SourcePtr mixed(testhost::create_test_audio_source("Mic"));

	DataPtr settings = settings_with_target("Mic");
	SourcePtr uploader = create_uploader("Uploader", settings.get());
	SourceContext *ctx = context_of(uploader.get());
	EXPECT_EQ(ctx->target, mixed.get());

	obs_data_set_string(settings.get(), "target_source", "MIC");
	obs_source_update(uploader.get(), settings.get());
	EXPECT_EQ(ctx->target, upper.get());
	EXPECT_EQ(Log::count(std::string(listening) + "MIC"), 1u);

	// A name nobody bears: detached, silently, and the name is kept.
	obs_data_set_string(settings.get(), "target_source", "mic");
	obs_source_update(uploader.get(), settings.get());
	EXPECT_EQ(ctx->target, nullptr);
	EXPECT_EQ(ctx->target_source_name, "mic");
	EXPECT_EQ(Log::count(listening), 2u);

	// The source appearing later does not attach until the name changes.
	SourcePtr lower(testhost::create_test_audio_source("mic"));
	obs_source_update(uploader.get(), settings.get());
	obs_source_load(uploader.get());
	EXPECT_EQ(ctx->target, nullptr);

	// Emptying the name detaches too.
	obs_data_set_string(settings.get(), "target_source", "Mic");
	obs_source_update(uploader.get(), settings.get());
	EXPECT_EQ(ctx->target, mixed.get());
	obs_data_set_string(settings.get(), "target_source", "");
	obs_source_update(uploader.get(), settings.get());
	EXPECT_EQ(ctx->target, nullptr);
	EXPECT_EQ(ctx->target_source_name, "");
	destroy(uploader);
}

TEST_F(SourceLifecycle, NeverListensToASourceOfItsOwnType)
{
	testhost::ObsHost host;
	SourcePtr first = create_uploader("First");
	obs_weak_source_t *first_weak = obs_source_get_weak_source(first.get());
	DataPtr settings = settings_with_target("First");
	SourcePtr second = create_uploader("Second", settings.get());
	EXPECT_EQ(context_of(second.get())->target, nullptr);
	EXPECT_EQ(Log::count(listening), 0u);

	// No reference was kept, so the first one goes away when released.
	destroy(first);
	EXPECT_TRUE(expired(first_weak));
	destroy(second);
}

TEST_F(SourceLifecycle, SettingsAreStoredAsTheHostGivesThem)
{
	testhost::ObsHost host;
	DataPtr settings(obs_data_create());
	obs_data_set_string(settings.get(), "server_url", " http://example.test:8080/up ");
	obs_data_set_string(settings.get(), "start_keywords", "Go, Start");
	obs_data_set_string(settings.get(), "stop_keywords", "");
	obs_data_set_bool(settings.get(), "enable_silence_stop", true);
	obs_data_set_double(settings.get(), "silence_threshold_db", -40.25);
	obs_data_set_int(settings.get(), "silence_duration_ms", (int64_t(1) << 32) + 100);
	SourcePtr uploader = create_uploader("Uploader", settings.get());
	SourceContext *ctx = context_of(uploader.get());
	EXPECT_EQ(ctx->server_url, " http://example.test:8080/up ");
	EXPECT_EQ(ctx->start_keywords, "Go, Start");
	EXPECT_EQ(ctx->stop_keywords, "");
	EXPECT_TRUE(ctx->enable_silence_stop);
	EXPECT_EQ(ctx->silence_threshold_db, -40.25f);
	EXPECT_EQ(ctx->silence_duration_ms, 100);

	obs_data_set_int(settings.get(), "silence_duration_ms", -5);
	obs_source_update(uploader.get(), settings.get());
	EXPECT_EQ(ctx->silence_duration_ms, -5);

	// Saving leaves them alone.
	obs_data_t *saved = obs_save_source(uploader.get());
	obs_data_release(saved);
	EXPECT_EQ(ctx->server_url, " http://example.test:8080/up ");
	destroy(uploader);
}

TEST_F(SourceLifecycle, WithoutModelTheInstanceStillWorksAndSaysWhy)
{
	testhost::HostOptions options;
	options.samples_per_sec = 32000;
	testhost::ObsHost host(options);
	SourcePtr uploader = create_uploader("Uploader");
	SourceContext *ctx = context_of(uploader.get());
	ASSERT_NE(ctx, nullptr);
	EXPECT_EQ(ctx->recognizer, nullptr);
	EXPECT_EQ(ctx->sample_rate, 32000u);
	EXPECT_EQ(Log::count("[Kavrel Assistant] Failed to find 'model' directory in plugin data.", LOG_ERROR), 1u);
	EXPECT_NE(testhost::find_source_hotkey(uploader.get(), "Brisvane.Trigger"), OBS_INVALID_HOTKEY_ID);
	// The first storage chunk of a take is ready before any take, model or not.
	for (int i = 0; i < 5000 && !ctx->recording_buffer.spare_ready(); ++i)
		std::this_thread::sleep_for(std::chrono::milliseconds(1));
	EXPECT_TRUE(ctx->recording_buffer.spare_ready());
	destroy(uploader);
}

TEST_F(SourceLifecycle, WithModelTheRecognizerRuns)
{
	testhost::HostOptions options;
	options.model = "model-ru";
	testhost::ObsHost host(options);
	SourcePtr uploader = create_uploader("Uploader");
	SourceContext *ctx = context_of(uploader.get());
	ASSERT_NE(ctx->recognizer, nullptr);
	ASSERT_NE(ctx->audio_ring, nullptr);
	EXPECT_GE(ctx->audio_ring->capacity(), 30u * 48000u) << "a recogniser 30 s behind still finds its words";
	EXPECT_EQ(ctx->sample_rate, 48000u);
	// The model loads in the background; the source is usable before that.
	EXPECT_TRUE(wait_until_listening(ctx));
	EXPECT_EQ(Log::count("[Vosk] Model loaded successfully.", LOG_INFO), 1u);
	EXPECT_EQ(Log::count("Failed to find 'model'"), 0u);
	destroy(uploader);
}

TEST_F(SourceLifecycle, EachInstanceRegistersItsOwnHotkey)
{
	testhost::ObsHost host;
	SourcePtr first = create_uploader("First");
	SourcePtr second = create_uploader("Second");
	for (obs_source_t *s : {first.get(), second.get()}) {
		HotkeyInfo info;
		info.source = s;
		obs_enum_hotkeys(describe_hotkey, &info);
		EXPECT_EQ(info.count, 1u);
		EXPECT_EQ(info.name, "Brisvane.Trigger");
		EXPECT_EQ(info.description, "Start/Stop Upload");
	}
	obs_hotkey_id a = testhost::find_source_hotkey(first.get(), "Brisvane.Trigger");
	obs_hotkey_id b = testhost::find_source_hotkey(second.get(), "Brisvane.Trigger");
	EXPECT_NE(a, b);
	EXPECT_EQ(context_of(first.get())->hotkey_id, a);
	EXPECT_EQ(context_of(second.get())->hotkey_id, b);
	destroy(first);
	destroy(second);
}

TEST_F(SourceLifecycle, HotkeyPressesAroundDestroyNeverReachAFreedInstance)
{
	testhost::HostOptions options;
	options.model = "model-ru";
	testhost::ObsHost host(options);
	obs_hotkey_enable_callback_rerouting(true);
	SourcePtr mic(testhost::create_test_audio_source("Mic"));

	for (int round = 0; round < 20; ++round) {
		DataPtr settings = settings_with_target("Mic");
		SourcePtr uploader = create_uploader("Uploader", settings.get());
		obs_hotkey_id id = testhost::find_source_hotkey(uploader.get(), "Brisvane.Trigger");
		ASSERT_NE(id, OBS_INVALID_HOTKEY_ID);

		std::atomic<bool> stop{false};
		std::thread presser([&] {
			bool pressed = true;
			while (!stop) {
				obs_hotkey_trigger_routed_callback(id, pressed);
				pressed = !pressed;
			}
			obs_hotkey_trigger_routed_callback(id, false);
		});
		destroy(uploader);
		stop = true;
		presser.join();
		// The id is gone: a late press does nothing.
		obs_hotkey_trigger_routed_callback(id, true);
		obs_hotkey_trigger_routed_callback(id, false);
	}
	obs_hotkey_enable_callback_rerouting(false);
}
