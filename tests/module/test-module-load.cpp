// SPDX-License-Identifier: GPL-3.0-or-later
// What the module registers: the type, its defaults and its properties window.
#include "module-test-util.hpp"
#include "recording-server.hpp"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

using namespace testutil;

namespace {

const char *plain_name(void *)
{
	return "Test Plain Source";
}
void *plain_create(obs_data_t *, obs_source_t *source)
{
	return source;
}
void plain_destroy(void *) {}

// A source with neither audio nor video, standing in for the host's video-only sources.
void register_plain_type()
{
	if (obs_source_get_display_name("brisvane_test_plain"))
		return;
	obs_source_info info = {};
	info.id = "brisvane_test_plain";
	info.type = OBS_SOURCE_TYPE_INPUT;
	info.get_name = plain_name;
	info.create = plain_create;
	info.destroy = plain_destroy;
	obs_register_source(&info);
}

bool collect_audio_names(void *param, obs_source_t *source)
{
	if (obs_source_get_output_flags(source) & OBS_SOURCE_AUDIO)
		static_cast<std::vector<std::string> *>(param)->push_back(obs_source_get_name(source));
	return true;
}

} // namespace

TEST(ModuleLoad, RegistersTheSourceType)
{
	testhost::ObsHost host;
	EXPECT_STREQ(obs_source_get_display_name("brisvane"), "Kavrel Assistant Uploader");
	EXPECT_EQ(obs_get_source_output_flags("brisvane"), 0x80u);

	void *handle = dlopen(testhost::staged_module_path().c_str(), RTLD_NOW | RTLD_NOLOAD);
	ASSERT_NE(handle, nullptr);
	auto ver = reinterpret_cast<uint32_t (*)()>(dlsym(handle, "obs_module_ver"));
	ASSERT_NE(ver, nullptr);
	EXPECT_EQ(ver(), uint32_t(LIBOBS_API_VER));
	// Unload joins what the load started: the look for unfinished takes, and model loads.
	EXPECT_NE(dlsym(handle, "obs_module_unload"), nullptr);
	dlclose(handle);
}

size_t thread_count()
{
	size_t count = 0;
	for (const auto &entry : std::filesystem::directory_iterator("/proc/self/task")) {
		(void)entry;
		++count;
	}
	return count;
}

// Between two runs of OBS: what the last one left (a take kept after a failed upload, or one
// finished after a crash, each with its server beside it) goes out at the next load, and
// quitting in the middle of an upload neither hangs nor loses the take nor leaves a thread.
TEST(ModuleLoad, TakesLeftBehindGoOutAtLoadAndUnloadCutsAnUploadShort)
{
	namespace fs = std::filesystem;
	testhost::TempDir config;
	const std::string folder = config.path() + "/obs-brisvane";
	fs::create_directories(folder);
	auto server = testserver::RecordingServer::start();
	auto slow = testserver::RecordingServer::start();
	slow->set_mode("silent");
	const auto put = [&](const std::string &name, const std::string &url) {
		const std::string path = folder + "/" + name;
		std::ofstream(path, std::ios::binary) << "RIFF take " << name;
		std::ofstream(path + ".url", std::ios::binary) << url;
		return path;
	};
	const std::string kept = put("recording_1.wav", server->url("/kept"));
	const std::string stuck = put("recording_2.wav", slow->url("/slow"));

	const size_t threads_before = thread_count();
	{
		testhost::HostOptions options;
		options.config_dir = config.path();
		testhost::ObsHost host(options);
		ASSERT_TRUE(testhost::Log::wait_for("[Brisvane] Temporary file deleted: " + kept));
		ASSERT_TRUE(slow->wait_for_requests(1));
	} // obs_shutdown unloads the module while the slow server holds its upload
	EXPECT_EQ(thread_count(), threads_before);
	EXPECT_TRUE(testhost::Log::contains("[Brisvane] 1 upload(s) left for the next start", LOG_INFO));
	EXPECT_FALSE(fs::exists(kept) || fs::exists(kept + ".url"));
	EXPECT_TRUE(fs::exists(stuck) && fs::exists(stuck + ".url"));
	ASSERT_EQ(server->requests().size(), 1u);
	EXPECT_EQ(testserver::parse_request(server->requests()[0]).request_line, "POST /kept HTTP/1.1");
}

TEST(ModuleLoad, DefaultsLetANewSourceWorkOutOfTheBox)
{
	testhost::ObsHost host;
	testhost::Log::clear();
	DataPtr defaults(obs_get_source_defaults("brisvane"));
	ASSERT_TRUE(defaults);
	EXPECT_STREQ(obs_data_get_string(defaults.get(), "start_keywords"), "старт,запись");
	EXPECT_STREQ(obs_data_get_string(defaults.get(), "stop_keywords"), "стоп,хватит");
	EXPECT_DOUBLE_EQ(obs_data_get_double(defaults.get(), "silence_threshold_db"), -40.0);
	EXPECT_EQ(obs_data_get_int(defaults.get(), "silence_duration_ms"), 2000);
	EXPECT_FALSE(obs_data_get_bool(defaults.get(), "enable_silence_stop"));
	EXPECT_STREQ(obs_data_get_string(defaults.get(), "server_url"), "");

	// An instance created with no settings at all reads the defaults.
	SourcePtr source = create_uploader("Uploader");
	SourceContext *ctx = context_of(source.get());
	ASSERT_NE(ctx, nullptr);
	EXPECT_EQ(ctx->start_keywords, "старт,запись");
	EXPECT_EQ(ctx->stop_keywords, "стоп,хватит");
	EXPECT_FLOAT_EQ(ctx->silence_threshold_db, -40.0f);
	EXPECT_EQ(ctx->silence_duration_ms, 2000);
	EXPECT_FALSE(ctx->enable_silence_stop);
	EXPECT_EQ(ctx->server_url, "");
	EXPECT_EQ(ctx->channels, 2);
	EXPECT_EQ(ctx->target, nullptr);
	EXPECT_EQ(testhost::Log::count("Listening to source"), 0u);
	destroy(source);
}

TEST(ModuleLoad, PropertiesWindowHasTheSettingsAndButtonsInOrder)
{
	testhost::ObsHost host;
	obs_properties_t *props = obs_get_source_properties("brisvane");
	ASSERT_NE(props, nullptr);
	EXPECT_EQ(obs_properties_get_flags(props), 0u);

	struct Expected {
		const char *name;
		obs_property_type type;
		const char *label;
	};
	const Expected expected[] = {
	    {"server_url", OBS_PROPERTY_TEXT, "Server URL"},
	    {"start_keywords", OBS_PROPERTY_TEXT, "Start Keywords (comma separated)"},
	    {"stop_keywords", OBS_PROPERTY_TEXT, "Stop Keywords (comma separated)"},
	    {"enable_silence_stop", OBS_PROPERTY_BOOL, "Stop on Silence"},
	    {"silence_threshold_db", OBS_PROPERTY_FLOAT, "Silence Threshold (dB)"},
	    {"silence_duration_ms", OBS_PROPERTY_INT, "Silence Duration (ms)"},
	    {"target_source", OBS_PROPERTY_LIST, "Target Audio Source"},
	    {"access_token", OBS_PROPERTY_TEXT, "Access Token"},
	    // Then the buttons; the status only comes with an instance.
	    {"check_server", OBS_PROPERTY_BUTTON, "Check Server"},
	    {"send_kept_takes", OBS_PROPERTY_BUTTON, "Send Kept Takes Now"},
	    {"open_recordings_folder", OBS_PROPERTY_BUTTON, "Open Recordings Folder"},
	};
	obs_property_t *p = obs_properties_first(props);
	for (const auto &e : expected) {
		ASSERT_NE(p, nullptr) << "missing " << e.name;
		EXPECT_STREQ(obs_property_name(p), e.name);
		EXPECT_EQ(obs_property_get_type(p), e.type) << e.name;
		EXPECT_STREQ(obs_property_description(p), e.label);
		EXPECT_EQ(obs_property_long_description(p), nullptr) << e.name;
		if (e.type == OBS_PROPERTY_TEXT) {
			// A secret is shown as dots.
			EXPECT_EQ(obs_property_text_type(p),
				  std::string(e.name) == "access_token" ? OBS_TEXT_PASSWORD : OBS_TEXT_DEFAULT)
			    << e.name;
		}
		if (e.type == OBS_PROPERTY_FLOAT) {
			EXPECT_EQ(obs_property_float_type(p), OBS_NUMBER_SLIDER);
			EXPECT_DOUBLE_EQ(obs_property_float_min(p), -60.0);
			EXPECT_DOUBLE_EQ(obs_property_float_max(p), 0.0);
			EXPECT_DOUBLE_EQ(obs_property_float_step(p), 1.0);
		}
		if (e.type == OBS_PROPERTY_INT) {
			EXPECT_EQ(obs_property_int_type(p), OBS_NUMBER_SCROLLER);
			EXPECT_EQ(obs_property_int_min(p), 100);
			EXPECT_EQ(obs_property_int_max(p), 10000);
			EXPECT_EQ(obs_property_int_step(p), 100);
		}
		if (e.type == OBS_PROPERTY_LIST) {
			EXPECT_EQ(obs_property_list_type(p), OBS_COMBO_TYPE_LIST);
			EXPECT_EQ(obs_property_list_format(p), OBS_COMBO_FORMAT_STRING);
			EXPECT_EQ(obs_property_list_item_count(p), 0u) << "no placeholder item";
		}
		obs_property_next(&p);
	}
	EXPECT_EQ(p, nullptr) << "more than the eight settings and three buttons";
	obs_properties_destroy(props);
}

TEST(ModuleLoad, TargetListHoldsAudioSourcesOnlyInEnumerationOrder)
{
	testhost::ObsHost host;
	register_plain_type();
	SourcePtr mic_b(testhost::create_test_audio_source("Mic B"));
	SourcePtr plain(obs_source_create("brisvane_test_plain", "Plain", nullptr, nullptr));
	SourcePtr uploader = create_uploader("Uploader");
	SourcePtr mic_a(testhost::create_test_audio_source("Mic A"));
	SourcePtr desk(testhost::create_test_audio_source("Desktop Audio"));

	std::vector<std::string> enumerated;
	obs_enum_sources(collect_audio_names, &enumerated);

	obs_properties_t *props = obs_source_properties(uploader.get());
	obs_property_t *list = obs_properties_get(props, "target_source");
	ASSERT_NE(list, nullptr);
	std::vector<std::string> items;
	for (size_t i = 0; i < obs_property_list_item_count(list); ++i) {
		EXPECT_STREQ(obs_property_list_item_name(list, i), obs_property_list_item_string(list, i));
		items.push_back(obs_property_list_item_string(list, i));
	}
	obs_properties_destroy(props);

	EXPECT_EQ(items, enumerated);
	std::vector<std::string> sorted = items;
	std::sort(sorted.begin(), sorted.end());
	EXPECT_EQ(sorted, (std::vector<std::string>{"Desktop Audio", "Mic A", "Mic B"}));

	destroy(uploader);
}

namespace {

std::vector<std::string> property_labels(obs_properties_t *props)
{
	std::vector<std::string> labels;
	for (obs_property_t *p = obs_properties_first(props); p; obs_property_next(&p))
		labels.emplace_back(obs_property_description(p));
	return labels;
}

bool hotkey_description(void *param, obs_hotkey_id id, obs_hotkey_t *key)
{
	auto *found = static_cast<std::pair<obs_hotkey_id, std::string> *>(param);
	if (id == found->first)
		found->second = obs_hotkey_get_description(key);
	return true;
}

} // namespace

TEST(ModuleLoad, LabelsAndHotkeyAreInOBSsLanguage)
{
	testhost::ObsHost host;
	using V = std::vector<std::string>;
	const struct {
		const char *locale;
		V labels;
		const char *hotkey;
	} languages[] = {
	    {"ru-RU",
	     V{"URL-адрес сервера", "Слова для начала записи (через запятую)",
	       "Слова для остановки записи (через запятую)", "Останавливать при тишине", "Порог тишины (дБ)",
	       "Длительность тишины (мс)", "Источник звука", "Токен доступа", "Проверить сервер",
	       "Отправить сохранённые записи сейчас", "Открыть папку с записями"},
	     "Начать/остановить отправку"},
	    // A language without a file of ours reads English, as does English itself.
	    {"de-DE",
	     V{"Server URL", "Start Keywords (comma separated)", "Stop Keywords (comma separated)", "Stop on Silence",
	       "Silence Threshold (dB)", "Silence Duration (ms)", "Target Audio Source", "Access Token", "Check Server",
	       "Send Kept Takes Now", "Open Recordings Folder"},
	     "Start/Stop Upload"},
	};
	for (const auto &language : languages) {
		SCOPED_TRACE(language.locale);
		obs_set_locale(language.locale);
		obs_properties_t *props = obs_get_source_properties("brisvane");
		EXPECT_EQ(property_labels(props), language.labels);
		obs_properties_destroy(props);

		SourcePtr uploader = create_uploader("Uploader");
		std::pair<obs_hotkey_id, std::string> hotkey{
		    testhost::find_source_hotkey(uploader.get(), "Brisvane.Trigger"), ""};
		obs_enum_hotkeys(hotkey_description, &hotkey);
		EXPECT_EQ(hotkey.second, language.hotkey);
		// The type's name is a name: never translated.
		EXPECT_STREQ(obs_source_get_display_name("brisvane"), "Kavrel Assistant Uploader");
		destroy(uploader);
	}
	obs_set_locale("en-US");
}

TEST(ModuleLoad, LocaleLookupFallsBackToEnglishAndSurvivesBeingFreed)
{
	testhost::ObsHost host;
	void *handle = dlopen(testhost::staged_module_path().c_str(), RTLD_NOW | RTLD_NOLOAD);
	ASSERT_NE(handle, nullptr);
	auto set_locale = reinterpret_cast<void (*)(const char *)>(dlsym(handle, "obs_module_set_locale"));
	auto free_locale = reinterpret_cast<void (*)()>(dlsym(handle, "obs_module_free_locale"));
	auto get_string =
	    reinterpret_cast<bool (*)(const char *, const char **)>(dlsym(handle, "obs_module_get_string"));
	ASSERT_TRUE(set_locale && free_locale && get_string);

	// A locale we ship no file for still finds the English text.
	set_locale("de-DE");
	const char *text = nullptr;
	EXPECT_TRUE(get_string("Brisvane", &text));
	EXPECT_STREQ(text, "Kavrel Assistant Uploader");
	text = "untouched";
	EXPECT_FALSE(get_string("NoSuchKey", &text));

	// Freed (twice, as the host may), lookups fail quietly; the type's name never used them.
	free_locale();
	free_locale();
	EXPECT_FALSE(get_string("Brisvane", &text));
	EXPECT_STREQ(obs_source_get_display_name("brisvane"), "Kavrel Assistant Uploader");
	set_locale("en-US");
	dlclose(handle);
}

// Run by the suite with libcanberra hidden (tests/support/without-library): the module still
// loads, and every play fails as "not supported" instead.
TEST(ModuleLoad, WithoutTheSoundLibraryEveryPlayFailsAsNotSupported)
{
	if (void *canberra = dlopen("libcanberra.so.0", RTLD_LAZY)) {
		dlclose(canberra);
		GTEST_SKIP() << "libcanberra is installed; the suite runs this with it hidden";
	}
	testhost::ObsHost host;
	obs_hotkey_enable_callback_rerouting(true);
	SourcePtr uploader = create_uploader("Uploader");
	const obs_hotkey_id hotkey = testhost::find_source_hotkey(uploader.get(), "Brisvane.Trigger");
	testhost::Log::clear();
	for (int take = 0; take < 2; ++take) {
		obs_hotkey_trigger_routed_callback(hotkey, true);
		obs_hotkey_trigger_routed_callback(hotkey, true);
	}
	context_of(uploader.get())->takes->wait_idle(); // the sounds are played by the source's thread
	const std::string data = host.data_dir();
	EXPECT_EQ(
	    testhost::Log::count("[Kavrel Assistant] Failed to play sound: " + data + "/notification.wav (error: -1)",
				 LOG_WARNING),
	    2u);
	EXPECT_EQ(testhost::Log::count("[Kavrel Assistant] Failed to play stop sound: " + data +
					   "/notification_end.wav (error: -1)",
				       LOG_WARNING),
		  2u);
	obs_hotkey_enable_callback_rerouting(false);
	destroy(uploader);
}
