// SPDX-License-Identifier: GPL-3.0-or-later
// Loads the staged obs-brisvane.dll the way OBS does, beside the stand-in obs.dll, and drives
// it through the host's calls.
#include <windows.h>
#include <tlhelp32.h>

#include "obs-host.hpp"
#include "obs-standin.h"
#include "recording-server.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

const char *const module_exports[] = {"obs_module_set_pointer", "obs_module_ver",        "obs_module_set_locale",
				      "obs_module_free_locale", "obs_module_get_string", "obs_module_load",
				      "obs_module_unload"};

std::wstring wide_path(const std::string &path)
{
	std::string native = path;
	std::replace(native.begin(), native.end(), '/', '\\');
	return std::wstring(native.begin(), native.end());
}

std::string plugin_dir()
{
	return std::string(BRISVANE_TEST_STAGE_DIR) + "/bin/64bit";
}

std::string plugin_file()
{
	return plugin_dir() + "/obs-brisvane.dll";
}

// What OBS does for a plug-in folder: search it for the plug-in's own DLLs, then load.
HMODULE load_like_obs(DWORD &error, const std::string &dir = plugin_dir())
{
	SetDllDirectoryW(wide_path(dir).c_str());
	HMODULE module = LoadLibraryW(wide_path(dir + "/obs-brisvane.dll").c_str());
	error = module ? 0 : GetLastError();
	SetDllDirectoryW(nullptr);
	return module;
}

std::vector<std::string> exported_names(HMODULE module)
{
	auto *base = reinterpret_cast<const unsigned char *>(module);
	auto *dos = reinterpret_cast<const IMAGE_DOS_HEADER *>(base);
	auto *nt = reinterpret_cast<const IMAGE_NT_HEADERS *>(base + dos->e_lfanew);
	const IMAGE_DATA_DIRECTORY &entry = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
	std::vector<std::string> names;
	if (!entry.VirtualAddress)
		return names;
	auto *dir = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY *>(base + entry.VirtualAddress);
	auto *name_rvas = reinterpret_cast<const DWORD *>(base + dir->AddressOfNames);
	for (DWORD i = 0; i < dir->NumberOfNames; ++i)
		names.emplace_back(reinterpret_cast<const char *>(base + name_rvas[i]));
	return names;
}

std::string version_string(const std::vector<char> &info, const char *field)
{
	const std::string key = std::string("\\StringFileInfo\\040904B0\\") + field;
	void *value = nullptr;
	UINT length = 0;
	if (!VerQueryValueA(info.data(), key.c_str(), &value, &length) || !value)
		return "<missing>";
	return static_cast<const char *>(value);
}

size_t thread_count()
{
	HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
	size_t count = 0;
	THREADENTRY32 entry = {};
	entry.dwSize = sizeof(entry);
	for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
		count += entry.th32OwnerProcessID == GetCurrentProcessId() ? 1 : 0;
	CloseHandle(snapshot);
	return count;
}

struct Module {
	using SetPointer = void (*)(obs_module_t *);
	using Ver = uint32_t (*)();
	using SetLocale = void (*)(const char *);
	using FreeLocale = void (*)();
	using GetString = bool (*)(const char *, const char **);
	using Load = bool (*)();
	using Unload = void (*)();

	HMODULE handle = nullptr;
	SetPointer set_pointer = nullptr;
	Ver ver = nullptr;
	SetLocale set_locale = nullptr;
	FreeLocale free_locale = nullptr;
	GetString get_string = nullptr;
	Load load = nullptr;
	Unload unload = nullptr;

	template<typename F> void find(F &fn, const char *name)
	{
		fn = reinterpret_cast<F>(reinterpret_cast<void *>(GetProcAddress(handle, name)));
	}
};

class WinModule : public ::testing::Test {
protected:
	void SetUp() override
	{
		testhost::Log::install();
		testhost::Log::clear();
		DWORD error = 0;
		m.handle = folder.empty() ? load_like_obs(error) : load_like_obs(error, folder);
		ASSERT_NE(m.handle, nullptr) << "LoadLibraryW failed with " << error;
		m.find(m.set_pointer, "obs_module_set_pointer");
		m.find(m.ver, "obs_module_ver");
		m.find(m.set_locale, "obs_module_set_locale");
		m.find(m.free_locale, "obs_module_free_locale");
		m.find(m.get_string, "obs_module_get_string");
		m.find(m.load, "obs_module_load");
		m.find(m.unload, "obs_module_unload");
	}
	// As OBS does: every loaded module is unloaded before its file is freed.
	void TearDown() override
	{
		if (m.handle && m.unload)
			m.unload();
		if (m.handle)
			FreeLibrary(m.handle);
	}
	// A host's module handle is opaque to the plug-in; any distinct address serves.
	obs_module_t *fake_module() { return reinterpret_cast<obs_module_t *>(&module_token); }

	Module m;
	int module_token = 0;
	// Where the DLL is loaded from; empty means the staged plug-in folder.
	std::string folder;
};

// The DLL alone in a folder of its own: no libvosk.dll beside it.
class WinModuleAlone : public WinModule {
protected:
	void SetUp() override
	{
		folder = alone.path();
		fs::copy_file(plugin_file(), folder + "/obs-brisvane.dll");
		WinModule::SetUp();
	}
	testhost::TempDir alone;
};

TEST_F(WinModule, ExportsExactlyTheSevenModuleFunctions)
{
	std::vector<std::string> names = exported_names(m.handle);
	std::sort(names.begin(), names.end());
	std::vector<std::string> expected(std::begin(module_exports), std::end(module_exports));
	std::sort(expected.begin(), expected.end());
	EXPECT_EQ(names, expected);
}

TEST_F(WinModule, RunsTheHostsCallsInOrder)
{
	ASSERT_TRUE(m.set_pointer && m.ver && m.set_locale && m.free_locale && m.get_string && m.load && m.unload);
	m.set_pointer(fake_module());
	EXPECT_EQ(m.ver(), uint32_t(LIBOBS_API_VER));

	const long lookups_before = standin_live_lookups();
	m.set_locale("de-DE");
	m.set_locale("en-US"); // the host sets it again: the first lookup is destroyed
	EXPECT_EQ(standin_live_lookups(), lookups_before + 1);
	const char *text = "untouched";
	EXPECT_FALSE(m.get_string("NoSuchKey", &text));
	EXPECT_STREQ(text, "untouched");

	ASSERT_TRUE(m.load());
	obs_source_info info = {};
	size_t size = 0;
	ASSERT_GE(standin_registered_source(&info, &size), 1);
	EXPECT_EQ(size, sizeof(obs_source_info));
	EXPECT_STREQ(info.id, "brisvane");
	EXPECT_EQ(info.type, OBS_SOURCE_TYPE_INPUT);
	EXPECT_EQ(info.output_flags, uint32_t(OBS_SOURCE_DO_NOT_DUPLICATE));
	ASSERT_NE(info.get_name, nullptr);
	EXPECT_STREQ(info.get_name(nullptr), "Kavrel Assistant Uploader");
	EXPECT_TRUE(info.create && info.destroy && info.update && info.get_properties && info.save && info.load);

	m.free_locale();
	EXPECT_EQ(standin_live_lookups(), lookups_before);
	m.free_locale(); // without a lookup: nothing to destroy, nothing breaks
	EXPECT_EQ(standin_live_lookups(), lookups_before);
}

TEST_F(WinModule, CreatesAndDestroysAnInstanceWithItsModel)
{
	testhost::TempDir data;
	testhost::TempDir config;
	fs::copy(testhost::tone_model_dir("model-ru"), data.path() + "/model", fs::copy_options::recursive);
	standin_set_data_dir(data.path().c_str());
	standin_set_config_dir(config.path().c_str());

	m.set_pointer(fake_module());
	m.set_locale("en-US");
	// Unloaded, the module runs no thread at all (its upload queue runs from load to unload).
	const size_t threads_unloaded = thread_count();
	ASSERT_TRUE(m.load());
	obs_source_info info = {};
	size_t size = 0;
	ASSERT_GE(standin_registered_source(&info, &size), 1);

	obs_data_t *settings = obs_data_create();
	obs_data_set_string(settings, "server_url", "http://127.0.0.1:9/upload");
	obs_data_set_string(settings, "target_source", "");
	// The host hands each instance its own source; the stand-in never dereferences it.
	auto *source = reinterpret_cast<obs_source_t *>(&module_token);
	for (size_t round = 0; round < 3; ++round) {
		const size_t threads_before = thread_count();
		void *instance = info.create(settings, source);
		ASSERT_NE(instance, nullptr);
		EXPECT_GT(thread_count(), threads_before) << "no recognition thread started";
		EXPECT_EQ(standin_live_signal_connections(), 2) << "follows sources being made and renamed";
		obs_properties_t *props = info.get_properties(instance);
		EXPECT_NE(props, nullptr);
		obs_properties_destroy(props);
		info.update(instance, settings);
		// The model loads in the background; the last round leaves before it is ready.
		const char *loaded = "[Vosk] Model loaded successfully.";
		for (int i = 0; round < 2 && i < 30000 && testhost::Log::count(loaded) < round + 1; ++i)
			Sleep(1);
		if (round < 2) {
			EXPECT_EQ(testhost::Log::count(loaded, LOG_INFO), round + 1);
		}
		info.destroy(instance);
		// What unload waits for: a load or a free still running.
		m.unload();
		EXPECT_EQ(thread_count(), threads_unloaded) << "a recognition, take or model thread was left running";
		EXPECT_EQ(standin_live_signal_connections(), 0);
	}
	EXPECT_LE(testhost::Log::count("[Vosk] Model loaded successfully.", LOG_INFO), 3u);
	obs_data_release(settings);
	m.free_locale();
	standin_set_data_dir("");

	for (const auto &line : testhost::Log::lines())
		EXPECT_GT(line.level, LOG_ERROR) << line.text;
}

// Pushes stereo float blocks of a tone through the capture callback the module attached.
void push_tone(size_t blocks)
{
	constexpr uint32_t frames = 1024;
	std::vector<float> left(frames), right(frames);
	for (uint32_t i = 0; i < frames; ++i)
		left[i] = right[i] = 0.25f * static_cast<float>(std::sin(i * 0.05));
	audio_data audio = {};
	audio.data[0] = reinterpret_cast<uint8_t *>(left.data());
	audio.data[1] = reinterpret_cast<uint8_t *>(right.data());
	audio.frames = frames;
	for (size_t i = 0; i < blocks; ++i) {
		audio.timestamp = i * 21333333ull;
		ASSERT_TRUE(standin_push_audio(&audio));
	}
}

TEST_F(WinModule, HotkeyTakeIsSavedUnderANonAsciiProfileAndUploaded)
{
	// A user name outside the ANSI code page, as OBS hands it over: UTF-8.
	testhost::TempDir base;
	const std::string config = base.path() + "/\xd0\xae\xd1\x80\xd0\xb8\xd0\xb9";
	standin_set_config_dir(config.c_str());
	standin_set_data_dir("");
	standin_set_audio_source_name("Mic");
	auto server = testserver::RecordingServer::start();

	m.set_pointer(fake_module());
	m.set_locale("en-US");
	ASSERT_TRUE(m.load());
	obs_source_info info = {};
	size_t size = 0;
	ASSERT_GE(standin_registered_source(&info, &size), 1);
	obs_data_t *settings = obs_data_create();
	obs_data_set_string(settings, "server_url", server->url("/take").c_str());
	obs_data_set_string(settings, "target_source", "Mic");
	void *instance = info.create(settings, reinterpret_cast<obs_source_t *>(&module_token));
	ASSERT_NE(instance, nullptr);

	ASSERT_TRUE(standin_press_hotkey(true));
	push_tone(10);
	ASSERT_TRUE(standin_press_hotkey(false)); // a release does nothing
	ASSERT_TRUE(standin_press_hotkey(true));

	ASSERT_TRUE(server->wait_for_requests(1, std::chrono::seconds(20)));
	EXPECT_TRUE(testhost::Log::wait_for("[Brisvane] Temporary file deleted: "));
	const auto request = testserver::parse_request(server->requests().at(0));
	EXPECT_EQ(request.request_line, "POST /take HTTP/1.1");
	EXPECT_EQ(request.header("User-Agent"), "OBS-Brisvane/1.0");
	EXPECT_EQ(request.header_count("Accept"), 0u);
	// 10 blocks of 1024 stereo frames as 16-bit samples, behind a 44-byte header.
	const size_t wav_size = 44 + 10 * 1024 * 2 * 2;
	EXPECT_NE(request.body.find("Content-Type: audio/wav\r\n\r\nRIFF"), std::string::npos);
	EXPECT_EQ(request.header("Content-Length"),
		  std::to_string(171 + std::string("recording_").size() + 10 + 4 + wav_size))
	    << "a recording named by its second, of the pushed blocks";

	info.destroy(instance);
	obs_data_release(settings);
	m.free_locale();
	standin_set_audio_source_name("");
	standin_set_config_dir("");

	// Unloading ends the queue's threads, so the host may free the module's code.
	const size_t threads_loaded = thread_count();
	m.unload();
	EXPECT_LT(thread_count(), threads_loaded);
	EXPECT_TRUE(fs::is_empty(fs::u8path(config + "/obs-brisvane"))) << "the take and its record are gone";
	FreeLibrary(m.handle);
	m.handle = nullptr;
	EXPECT_EQ(GetModuleHandleW(wide_path(plugin_file()).c_str()), nullptr);
}

// Without the speech library the plug-in still loads and its instances record by hotkey; the
// log says once why keywords are off.
TEST_F(WinModuleAlone, WorksByHotkeyWithoutTheSpeechLibrary)
{
	testhost::TempDir data;
	testhost::TempDir config;
	fs::copy(testhost::tone_model_dir("model-ru"), data.path() + "/model", fs::copy_options::recursive);
	standin_set_data_dir(data.path().c_str());
	standin_set_config_dir(config.path().c_str());
	standin_set_audio_source_name("Mic");

	m.set_pointer(fake_module());
	m.set_locale("en-US");
	ASSERT_TRUE(m.load());
	obs_source_info info = {};
	size_t size = 0;
	ASSERT_GE(standin_registered_source(&info, &size), 1);
	obs_data_t *settings = obs_data_create();
	obs_data_set_string(settings, "target_source", "Mic");
	void *first = info.create(settings, reinterpret_cast<obs_source_t *>(&module_token));
	ASSERT_NE(first, nullptr);

	ASSERT_TRUE(standin_press_hotkey(true));
	push_tone(4);
	ASSERT_TRUE(standin_press_hotkey(true));
	// Saved by the source's own thread a moment after the press.
	ASSERT_TRUE(testhost::Log::wait_for("[Kavrel Assistant] Saved to "));
	const auto files = std::vector<fs::directory_entry>(
	    fs::directory_iterator(fs::u8path(config.path() + "/obs-brisvane")), fs::directory_iterator());
	ASSERT_EQ(files.size(), 1u);
	EXPECT_EQ(fs::file_size(files[0].path()), 44u + 4u * 1024u * 2u * 2u);
	info.destroy(first);
	// The next instance does not try again.
	void *second = info.create(settings, reinterpret_cast<obs_source_t *>(&module_token));
	ASSERT_NE(second, nullptr);
	info.destroy(second);

	std::vector<std::string> failures;
	for (const auto &line : testhost::Log::lines()) {
		if (line.text.rfind("[Vosk] Failed to load the speech library: ", 0) == 0 && line.level == LOG_ERROR)
			failures.push_back(line.text);
		EXPECT_EQ(line.text.find("Model loaded"), std::string::npos) << line.text;
	}
	ASSERT_EQ(failures.size(), 1u);
	EXPECT_NE(failures[0].find("libvosk.dll: "), std::string::npos) << failures[0];

	obs_data_release(settings);
	m.free_locale();
	standin_set_audio_source_name("");
	standin_set_data_dir("");
	standin_set_config_dir("");
}

TEST(WinModuleFile, CarriesItsVersionResource)
{
	const std::string file = plugin_file();
	DWORD ignored = 0;
	const DWORD size = GetFileVersionInfoSizeA(file.c_str(), &ignored);
	ASSERT_GT(size, 0u) << GetLastError();
	std::vector<char> info(size);
	ASSERT_TRUE(GetFileVersionInfoA(file.c_str(), 0, size, info.data()));

	VS_FIXEDFILEINFO *fixed = nullptr;
	UINT length = 0;
	ASSERT_TRUE(VerQueryValueA(info.data(), "\\", reinterpret_cast<void **>(&fixed), &length));
	EXPECT_EQ(fixed->dwFileVersionMS, 0x00010000u);
	EXPECT_EQ(fixed->dwFileVersionLS, 0u);
	EXPECT_EQ(fixed->dwProductVersionMS, 0x00010000u);
	EXPECT_EQ(fixed->dwProductVersionLS, 0u);

	EXPECT_EQ(version_string(info, "FileVersion"), "1.0.0");
	EXPECT_EQ(version_string(info, "ProductVersion"), "1.0.0");
	for (const char *field : {"FileDescription", "InternalName", "OriginalFilename", "ProductName"})
		EXPECT_EQ(version_string(info, field), "obs-brisvane") << field;
}

} // namespace
