// SPDX-License-Identifier: GPL-3.0-or-later
// Instances inside real libobs: attaching to the listened source, settings, the hotkey and
// the recogniser.
#include "module-test-util.hpp"
#include "recognition/recognizer-worker.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

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
	EXPECT_TRUE(listens_to(ctx, mic.get()));
	EXPECT_EQ(ctx->target_source_name, "Mic");
	EXPECT_EQ(Log::count(std::string(listening) + "Mic", LOG_INFO), 1u);

	// The same name again, through update and through load: nothing happens.
	obs_source_update(uploader.get(), settings.get());
	obs_source_load(uploader.get());
	EXPECT_TRUE(listens_to(ctx, mic.get()));
	EXPECT_EQ(Log::count(listening), 1u);

	// Switching releases the old target: with our reference gone, it dies with the test's.
	obs_data_set_string(settings.get(), "target_source", "Desk");
	obs_source_update(uploader.get(), settings.get());
	EXPECT_TRUE(listens_to(ctx, desk.get()));
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

TEST_F(SourceLifecycle, NamesAreExactAndMissingSourcesAreAttachedWhenMade)
{
	testhost::ObsHost host;
	SourcePtr upper(testhost::create_test_audio_source("MIC"));
	SourcePtr mixed(testhost::create_test_audio_source("Mic"));

	DataPtr settings = settings_with_target("Mic");
	SourcePtr uploader = create_uploader("Uploader", settings.get());
	SourceContext *ctx = context_of(uploader.get());
	EXPECT_TRUE(listens_to(ctx, mixed.get()));

	obs_data_set_string(settings.get(), "target_source", "MIC");
	obs_source_update(uploader.get(), settings.get());
	EXPECT_TRUE(listens_to(ctx, upper.get()));
	EXPECT_EQ(Log::count(std::string(listening) + "MIC"), 1u);

	// A name nobody bears: detached, silently, and the name is kept.
	obs_data_set_string(settings.get(), "target_source", "mic");
	obs_source_update(uploader.get(), settings.get());
	EXPECT_EQ(ctx->target, nullptr);
	EXPECT_EQ(ctx->target_source_name, "mic");
	EXPECT_EQ(Log::count(listening), 2u);

	// The source appearing later (OBS loading a scene collection in another order) is
	// listened to at once; updates with the same name then change nothing.
	SourcePtr lower(testhost::create_test_audio_source("mic"));
	EXPECT_TRUE(listens_to(ctx, lower.get()));
	EXPECT_EQ(Log::count(std::string(listening) + "mic", LOG_INFO), 1u);
	obs_source_update(uploader.get(), settings.get());
	obs_source_load(uploader.get());
	EXPECT_EQ(Log::count(listening), 3u);

	// Emptying the name detaches too.
	obs_data_set_string(settings.get(), "target_source", "Mic");
	obs_source_update(uploader.get(), settings.get());
	EXPECT_TRUE(listens_to(ctx, mixed.get()));
	obs_data_set_string(settings.get(), "target_source", "");
	obs_source_update(uploader.get(), settings.get());
	EXPECT_EQ(ctx->target, nullptr);
	EXPECT_EQ(ctx->target_source_name, "");
	destroy(uploader);
}

namespace {

// What the instance recorded of one block pushed to the source during a hotkey take.
size_t recorded_from(obs_source_t *uploader, obs_source_t *source)
{
	SourceContext *ctx = context_of(uploader);
	const obs_hotkey_id key = testhost::find_source_hotkey(uploader, "Brisvane.Trigger");
	obs_hotkey_trigger_routed_callback(key, true);
	const std::vector<float> block = testhost::tone(440, 1024.0 / 48000);
	testhost::push_audio(source, block.data(), block.data(), 1024);
	obs_hotkey_trigger_routed_callback(key, true);
	ctx->takes->wait_idle();
	const std::string said = "[Kavrel Assistant] Stopped recording. Buffer size: ";
	const auto lines = Log::with_prefix(said);
	return lines.empty() ? 0 : std::stoul(lines.back().substr(said.size()));
}

std::string stored_target(obs_source_t *uploader)
{
	DataPtr settings(obs_source_get_settings(uploader));
	return obs_data_get_string(settings.get(), "target_source");
}

} // namespace

TEST_F(SourceLifecycle, FollowsItsTargetThroughDeletionAndRenames)
{
	testhost::ObsHost host;
	obs_hotkey_enable_callback_rerouting(true);
	SourcePtr mic(testhost::create_test_audio_source("Mic"));
	DataPtr settings = settings_with_target("Mic");
	SourcePtr uploader = create_uploader("Uploader", settings.get());
	SourceContext *ctx = context_of(uploader.get());
	ASSERT_EQ(recorded_from(uploader.get(), mic.get()), 2048u);

	// Deleted and made again under its name: heard at once, the old one never kept alive.
	obs_weak_source_t *old_weak = obs_source_get_weak_source(mic.get());
	obs_source_remove(mic.get());
	// Still held elsewhere, it lingers under its name: the same settings do not take it back.
	obs_source_update(uploader.get(), settings.get());
	EXPECT_EQ(ctx->target, nullptr);
	mic.reset();
	host.barrier();
	EXPECT_TRUE(expired(old_weak));
	SourcePtr again(testhost::create_test_audio_source("Mic"));
	EXPECT_TRUE(listens_to(ctx, again.get()));
	EXPECT_EQ(recorded_from(uploader.get(), again.get()), 2048u);
	EXPECT_EQ(Log::count(std::string(listening) + "Mic", LOG_INFO), 2u);

	// Renamed: still heard, and the new name is what the settings keep; a newcomer under the
	// old name is not listened to.
	obs_source_set_name(again.get(), "Microphone");
	EXPECT_EQ(ctx->target_source_name, "Microphone");
	EXPECT_EQ(stored_target(uploader.get()), "Microphone");
	SourcePtr impostor(testhost::create_test_audio_source("Mic"));
	EXPECT_TRUE(listens_to(ctx, again.get()));
	EXPECT_EQ(recorded_from(uploader.get(), impostor.get()), 0u);
	EXPECT_EQ(recorded_from(uploader.get(), again.get()), 2048u);

	// Renamed, then deleted: silence, until a source bears the followed name again, here by
	// a rename into it.
	obs_source_set_name(again.get(), "Mic 2");
	obs_source_remove(again.get());
	again.reset();
	EXPECT_EQ(stored_target(uploader.get()), "Mic 2");
	EXPECT_EQ(Log::count(listening), 2u) << "renames and deletions log nothing";
	obs_source_set_name(impostor.get(), "Mic 2");
	EXPECT_TRUE(listens_to(ctx, impostor.get()));
	EXPECT_EQ(Log::count(std::string(listening) + "Mic 2", LOG_INFO), 1u);
	EXPECT_EQ(recorded_from(uploader.get(), impostor.get()), 2048u);

	// Once destroyed, the instance hears of no source any more.
	destroy(uploader);
	SourcePtr late(testhost::create_test_audio_source("Mic 2"));
	obs_source_set_name(impostor.get(), "Other");
	EXPECT_EQ(Log::count(listening), 3u);
	obs_hotkey_enable_callback_rerouting(false);
}

TEST_F(SourceLifecycle, FollowingRacesNeitherAudioNorSettings)
{
	// Sources made and deleted on one thread; renames and settings that move the instance
	// between them and a source fed with audio on another (in OBS both come from its window);
	// the audio itself on a third.
	testhost::ObsHost host;
	SourcePtr fed(testhost::create_test_audio_source("Fed"));
	DataPtr to_mic = settings_with_target("Mic");
	DataPtr to_fed = settings_with_target("Fed");
	SourcePtr uploader = create_uploader("Uploader", to_fed.get());
	std::atomic<bool> stop{false};
	std::thread churn([&] {
		for (int i = 0; i < 200; ++i) {
			SourcePtr mic(testhost::create_test_audio_source("Mic"));
			obs_source_remove(mic.get());
		}
		stop = true;
	});
	std::thread window([&] {
		for (int i = 0; !stop; ++i) {
			SourcePtr mic(obs_get_source_by_name(i % 2 ? "Mic" : "Mic renamed"));
			if (mic)
				obs_source_set_name(mic.get(), i % 2 ? "Mic renamed" : "Mic");
			obs_source_update(uploader.get(), i % 3 ? to_mic.get() : to_fed.get());
		}
	});
	const std::vector<float> block = testhost::tone(440, 480.0 / 48000);
	while (!stop)
		testhost::push_audio(fed.get(), block.data(), block.data(), 480);
	churn.join();
	window.join();
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
	ASSERT_NE(ctx->takes, nullptr);
	EXPECT_FALSE(ctx->takes->has_recognizer());
	EXPECT_EQ(ctx->sample_rate, 32000u);
	EXPECT_EQ(Log::count("[Kavrel Assistant] Failed to find 'model' directory in plugin data.", LOG_ERROR), 1u);
	EXPECT_NE(testhost::find_source_hotkey(uploader.get(), "Brisvane.Trigger"), OBS_INVALID_HOTKEY_ID);
	// Takes are recorded with or without a model: half a minute of audio is kept at the host's rate.
	EXPECT_EQ(ctx->takes->ring().capacity(), 30u * 32000u);
	destroy(uploader);
}

TEST_F(SourceLifecycle, WithModelTheRecognizerRuns)
{
	testhost::HostOptions options;
	options.model = "model-ru";
	testhost::ObsHost host(options);
	SourcePtr uploader = create_uploader("Uploader");
	SourceContext *ctx = context_of(uploader.get());
	ASSERT_NE(ctx->takes, nullptr);
	ASSERT_TRUE(ctx->takes->has_recognizer());
	EXPECT_GE(ctx->takes->ring().capacity(), 30u * 48000u) << "a recogniser 30 s behind still finds its words";
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
