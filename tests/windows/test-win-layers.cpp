// SPDX-License-Identifier: GPL-3.0-or-later
// The Win32 platform layers themselves, under wine: the sound search with the real module
// path, what WinHTTP failures report, deleting.
#include <windows.h>
#include <mmsystem.h>
#include <winhttp.h>

#include "module/module-state.hpp"
#include "obs-host.hpp"
#include "obs-standin.h"
#include "platform/files.hpp"
#include "platform/http.hpp"
#include "platform/sound.hpp"
#include "recording-server.hpp"
#include "module/source-context.hpp"
#include "platform/file-lock.hpp"
#include "store/take-file.hpp"
#include "store/take-recovery.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using testhost::Log;

namespace {

std::string write_file(const fs::path &path, const std::string &content)
{
	std::ofstream(path, std::ios::binary) << content;
	return path.string();
}

// The platform's own layer, with its beeps and plays counted.
class CountingLayer : public platform::SoundLayer {
public:
	explicit CountingLayer(platform::SoundLayer &real) : real_(real) {}
	platform::ModuleDirStatus module_directory(std::string &dir, int &error) override
	{
		return real_.module_directory(dir, error);
	}
	bool file_exists(const std::string &path) override { return real_.file_exists(path); }
	bool play_async(const std::string &path, int &error) override
	{
		++plays;
		return real_.play_async(path, error);
	}
	void beep() override
	{
		++beeps;
		real_.beep();
	}
	int plays = 0;
	int beeps = 0;

private:
	platform::SoundLayer &real_;
};

class WinSounds : public ::testing::Test {
protected:
	void SetUp() override
	{
		Log::install();
		Log::clear();
		platform::set_sound_layer(nullptr);
		layer = std::make_unique<CountingLayer>(platform::sound_layer());
		platform::set_sound_layer(layer.get());
		module_pointer = reinterpret_cast<obs_module_t *>(&module_token);
		standin_set_data_dir(data.path().c_str());
	}
	void TearDown() override
	{
		standin_set_data_dir("");
		module_pointer = nullptr;
		platform::set_sound_layer(nullptr);
		// An asynchronous play keeps its file open until it is stopped.
		PlaySoundA(nullptr, nullptr, 0);
		for (const auto &file : beside) {
			std::error_code ec;
			for (int attempt = 0; attempt < 100 && fs::exists(file); ++attempt) {
				fs::remove(file, ec);
				Sleep(20);
			}
			EXPECT_FALSE(fs::exists(file)) << ec.message();
		}
	}

	// Where the Win32 layer must look: the folder of the program these functions live in.
	static std::string program_dir()
	{
		char name[MAX_PATH];
		const DWORD length = GetModuleFileNameA(nullptr, name, MAX_PATH);
		std::string path(name, length);
		return path.substr(0, path.rfind('\\') + 1);
	}

	std::vector<std::string> kavrel_lines() { return Log::with_prefix("[Kavrel Assistant]"); }

	testhost::TempDir data;
	std::unique_ptr<CountingLayer> layer;
	std::vector<std::string> beside;
	int module_token = 0;
};

TEST_F(WinSounds, FilesAmongTheDataAreFoundThroughTheHost)
{
	const std::string start = write_file(fs::path(data.path()) / "notification.wav", "RIFF");
	const std::string stop = write_file(fs::path(data.path()) / "notification_end.wav", "RIFF");
	const std::string start_found = data.path() + "/notification.wav";
	const std::string stop_found = data.path() + "/notification_end.wav";

	play_start_sound();
	play_stop_sound();

	const std::vector<std::string> expected = {
	    "[Kavrel Assistant] Found sound file via obs_module_file: " + start_found,
	    "[Kavrel Assistant] Playing sound: " + start_found,
	    "[Kavrel Assistant] Playing stop sound: " + stop_found,
	};
	EXPECT_EQ(kavrel_lines(), expected);
	EXPECT_EQ(layer->plays, 2);
	EXPECT_EQ(layer->beeps, 0);
}

TEST_F(WinSounds, FilesBesideTheModuleAreFoundByItsBackslashPath)
{
	const std::string dir = program_dir();
	ASSERT_NE(dir.find('\\'), std::string::npos);
	beside.push_back(write_file(dir + "notification.wav", "RIFF"));
	beside.push_back(write_file(dir + "notification_end.wav", "RIFF"));

	play_start_sound();
	play_stop_sound();

	const std::vector<std::string> expected = {
	    "[Kavrel Assistant] Found sound file at: " + dir + "notification.wav",
	    "[Kavrel Assistant] Playing sound: " + dir + "notification.wav",
	    "[Kavrel Assistant] Found stop sound file at: " + dir + "notification_end.wav",
	    "[Kavrel Assistant] Playing stop sound: " + dir + "notification_end.wav",
	};
	EXPECT_EQ(kavrel_lines(), expected);
	EXPECT_EQ(layer->beeps, 0);
}

TEST_F(WinSounds, MissingFilesBeepForTheStartOnly)
{
	const std::string dir = program_dir();

	play_start_sound();
	EXPECT_EQ(layer->beeps, 1);
	play_stop_sound();
	EXPECT_EQ(layer->beeps, 1);

	const std::vector<std::string> expected = {
	    "[Kavrel Assistant] Sound file not found at: " + dir + "notification.wav",
	    "[Kavrel Assistant] Sound file not found, using system beep",
	    "[Kavrel Assistant] Stop sound file not found at: " + dir + "notification_end.wav",
	    "[Kavrel Assistant] Stop sound file not found",
	};
	EXPECT_EQ(kavrel_lines(), expected);
	for (const auto &line : Log::lines())
		EXPECT_EQ(line.level, LOG_WARNING) << line.text;
	EXPECT_EQ(layer->plays, 0);
}

// What PlaySoundW was handed, in place of playing it: under wine an asynchronous play
// reports success whatever the file.
std::vector<std::wstring> &wide_plays()
{
	static std::vector<std::wstring> plays;
	return plays;
}

BOOL WINAPI record_play_sound(LPCWSTR sound, HMODULE, DWORD)
{
	wide_plays().emplace_back(sound ? sound : L"");
	return TRUE;
}

// Points the module's import of one function at a replacement; false when it has no such
// import.
bool patch_import(HMODULE module, const char *dll, const char *function, const void *replacement)
{
	auto *base = reinterpret_cast<unsigned char *>(module);
	auto *nt = reinterpret_cast<IMAGE_NT_HEADERS *>(base + reinterpret_cast<IMAGE_DOS_HEADER *>(base)->e_lfanew);
	const IMAGE_DATA_DIRECTORY &imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
	for (auto *entry = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR *>(base + imports.VirtualAddress); entry->Name;
	     ++entry) {
		if (_stricmp(reinterpret_cast<const char *>(base + entry->Name), dll) != 0)
			continue;
		auto *names = reinterpret_cast<IMAGE_THUNK_DATA *>(base + entry->OriginalFirstThunk);
		auto *slots = reinterpret_cast<IMAGE_THUNK_DATA *>(base + entry->FirstThunk);
		for (; names->u1.AddressOfData; ++names, ++slots) {
			if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal))
				continue;
			auto *named = reinterpret_cast<IMAGE_IMPORT_BY_NAME *>(base + names->u1.AddressOfData);
			if (std::strcmp(reinterpret_cast<const char *>(named->Name), function) != 0)
				continue;
			DWORD protection = 0;
			VirtualProtect(&slots->u1.Function, sizeof(slots->u1.Function), PAGE_READWRITE, &protection);
			slots->u1.Function = reinterpret_cast<ULONG_PTR>(replacement);
			VirtualProtect(&slots->u1.Function, sizeof(slots->u1.Function), protection, &protection);
			return true;
		}
	}
	return false;
}

std::string utf8(const std::wstring &text)
{
	const int bytes = WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0, nullptr, nullptr);
	std::string out(size_t(bytes), '\0');
	WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), out.data(), bytes, nullptr, nullptr);
	return out;
}

TEST(WinSoundPaths, AModuleUnderANonAsciiFolderPlaysItsFilesByTheirWidePaths)
{
	Log::install();
	Log::clear();
	testhost::TempDir base;
	// A per-user plug-in folder under a Cyrillic user name, outside any Western code page.
	wchar_t full[MAX_PATH];
	ASSERT_NE(GetFullPathNameW(fs::path(base.path()).wstring().c_str(), MAX_PATH, full, nullptr), 0u);
	const std::wstring user = std::wstring(full) + L"\\\u042e\u0440\u0438\u0439";
	const std::wstring bin = user + L"\\plugins\\obs-brisvane\\bin\\64bit\\";
	const std::wstring data = user + L"\\plugins\\obs-brisvane\\data";
	fs::create_directories(fs::path(bin));
	fs::create_directories(fs::path(data));
	ASSERT_TRUE(CopyFileW(BRISVANE_SOUND_PROBE_W, (bin + L"brisvane_win_sound_probe.dll").c_str(), FALSE));
	for (const std::wstring &dir : {bin, data + L"\\"}) {
		std::ofstream(fs::path(dir + L"notification.wav"), std::ios::binary) << "RIFF";
		std::ofstream(fs::path(dir + L"notification_end.wav"), std::ios::binary) << "RIFF";
	}

	HMODULE probe = LoadLibraryW((bin + L"brisvane_win_sound_probe.dll").c_str());
	ASSERT_NE(probe, nullptr) << GetLastError();
	ASSERT_TRUE(patch_import(probe, "winmm.dll", "PlaySoundW", reinterpret_cast<const void *>(&record_play_sound)));
	auto play = reinterpret_cast<void (*)(obs_module_t *)>(
	    reinterpret_cast<void *>(GetProcAddress(probe, "probe_play_sounds")));
	ASSERT_NE(play, nullptr);
	int module_token = 0;

	// Beside the module: the folder as Windows names the DLL.
	wide_plays().clear();
	standin_set_data_dir("");
	play(nullptr);
	EXPECT_EQ(wide_plays(), (std::vector<std::wstring>{bin + L"notification.wav", bin + L"notification_end.wav"}));
	EXPECT_TRUE(Log::contains("[Kavrel Assistant] Found sound file at: " + utf8(bin) + "notification.wav"));

	// Among the data files: the host's UTF-8 path, turned into the same characters.
	wide_plays().clear();
	standin_set_data_dir(utf8(data).c_str());
	play(reinterpret_cast<obs_module_t *>(&module_token));
	standin_set_data_dir("");
	EXPECT_EQ(wide_plays(),
		  (std::vector<std::wstring>{data + L"/notification.wav", data + L"/notification_end.wav"}));
	EXPECT_EQ(Log::count("Failed to play"), 0u);
	FreeLibrary(probe);
}

class WinHttp : public ::testing::Test {
protected:
	static void SetUpTestSuite()
	{
		auto &timeouts = platform::http_timeouts();
		timeouts.connect_ms = 5000;
		timeouts.send_ms = 1000;
		timeouts.receive_ms = 1000;
		timeouts.response_ms = 1000;
	}
	platform::HttpPost post(const std::string &host, int port, const std::string &path)
	{
		platform::HttpPost request;
		request.host = host;
		request.port = static_cast<uint16_t>(port);
		request.path = path;
		request.user_agent = "OBS-Brisvane/1.0";
		request.header_text = "Content-Type: text/plain";
		request.read_body = [this, done = size_t(0)](char *out, size_t room) mutable {
			const size_t n = std::min(room, body.size() - done);
			body.copy(out, n, done);
			done += n;
			return n;
		};
		request.body_length = body.size();
		return request;
	}
	std::string body = "hello";
};

TEST_F(WinHttp, FailuresNameTheirStageAndWinHttpError)
{
	auto server = testserver::RecordingServer::start();
	struct Case {
		const char *what;
		platform::HttpPost request;
		platform::HttpStage stage;
		long error;
	};
	platform::HttpPost too_long = post("127.0.0.1", server->port(), "/x");
	too_long.body_length = 0x100000000ull; // never read: refused before the send
	const Case cases[] = {
	    {"nothing listening", post("127.0.0.1", testserver::unused_port(), "/x"), platform::HttpStage::Send,
	     ERROR_WINHTTP_CANNOT_CONNECT},
	    {"unresolvable host", post("brisvane-upload-test.invalid", server->port(), "/x"), platform::HttpStage::Send,
	     ERROR_WINHTTP_NAME_NOT_RESOLVED},
	    {"empty host", post("", server->port(), "/x"), platform::HttpStage::Connect, ERROR_WINHTTP_INVALID_URL},
	    {"line break in the path", post("127.0.0.1", server->port(), "/x HTTP/1.1\r\nX-Forged: 1"),
	     platform::HttpStage::OpenRequest, ERROR_WINHTTP_INVALID_URL},
	    {"body of 4 GiB", too_long, platform::HttpStage::Send, ERROR_INVALID_PARAMETER},
	};
	for (const Case &c : cases) {
		SCOPED_TRACE(c.what);
		const platform::HttpOutcome outcome = platform::http_post(c.request);
		EXPECT_FALSE(outcome.sent);
		EXPECT_EQ(outcome.failed_stage, c.stage);
		EXPECT_EQ(outcome.error, c.error);
		EXPECT_EQ(outcome.status, 0u);
	}
	EXPECT_TRUE(server->requests().empty());
}

TEST_F(WinHttp, AnswerWithoutStatusLineIsNotASuccess)
{
	// The response wait is bounded: a server that reads and never answers ends the
	// exchange unsent or without a status, never with a 2xx.
	auto server = testserver::RecordingServer::start();
	server->set_mode("silent");
	auto exchange = std::async(std::launch::async,
				   [&] { return platform::http_post(post("127.0.0.1", server->port(), "/s")); });
	// Generous against the one-second limits: only a wait without bound fails this.
	ASSERT_EQ(exchange.wait_for(std::chrono::seconds(25)), std::future_status::ready);
	const platform::HttpOutcome outcome = exchange.get();
	EXPECT_TRUE(!outcome.sent || outcome.status == 0u);
	EXPECT_TRUE(server->wait_for_requests(1));
}

TEST(WinFiles, DeleteFailsWhileTheFileIsHeldOrMissing)
{
	testhost::TempDir dir;
	const std::string file = write_file(fs::path(dir.path()) / "recording_d.wav", "data");
	HANDLE held = CreateFileA(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
	ASSERT_NE(held, INVALID_HANDLE_VALUE);
	EXPECT_FALSE(platform::delete_file(file));
	EXPECT_TRUE(platform::file_exists(file));
	CloseHandle(held);
	EXPECT_TRUE(platform::delete_file(file));
	EXPECT_FALSE(platform::file_exists(file));
	EXPECT_FALSE(platform::delete_file(file));

	// A take is deleted while its lock is held, never let go first. A program reading it
	// without sharing delete (as most do) makes the delete fail until it is done.
	write_file(fs::path(file), "data");
	platform::FileLock lock, rival;
	ASSERT_TRUE(lock.try_lock(file));
	EXPECT_FALSE(rival.try_lock(file));
	EXPECT_TRUE(rival.contended());
	FILE *reading = platform::open_file(file, "rb");
	ASSERT_NE(reading, nullptr);
	EXPECT_FALSE(lock.remove_file(file));
	EXPECT_TRUE(platform::file_exists(file));
	std::fclose(reading);
	ASSERT_TRUE(lock.try_lock(file));
	EXPECT_TRUE(lock.remove_file(file));
	EXPECT_FALSE(lock.locked());
	EXPECT_FALSE(platform::file_exists(file));
}

// Takes are written, cut, renamed and recovered through Windows' sharing rules: a file is
// renamed while its lock is held, and a held file is left to its writer.
TEST(WinFiles, TakesAreClaimedAndRecoveredUnderWindowsSharing)
{
	testhost::TempDir dir;
	const std::string d = dir.path();
	std::vector<int16_t> audio(2 * 1000);
	for (size_t i = 0; i < audio.size(); ++i)
		audio[i] = int16_t(i);
	{
		TakeFile crashed; // closed without being finished, as a killed process leaves it
		ASSERT_TRUE(crashed.create(d, 42, 2, 48000, ""));
		ASSERT_TRUE(crashed.append(audio.data(), 10) && crashed.update_header());
	}
	TakeFile take;
	ASSERT_TRUE(take.create(d, 42, 2, 48000, ""));
	EXPECT_EQ(take.path(), d + "/unfinished_42_2.wav");
	ASSERT_TRUE(take.append(audio.data(), 1000));
	ASSERT_TRUE(take.update_header());
	ASSERT_TRUE(take.truncate(600));
	platform::FileLock lock;
	EXPECT_FALSE(lock.try_lock(take.path())) << "a take being written is its writer's";

	const auto recovered = recover_unfinished_takes(d);
	ASSERT_EQ(recovered.size(), 1u) << "only the one nobody holds";
	EXPECT_EQ(fs::file_size(fs::u8path(recovered[0])), 44u + 10u * 4u);

	write_file(fs::u8path(d) / "recording_7.wav", "earlier");
	std::string final_path;
	ASSERT_TRUE(take.finish(d, 7, "", final_path));
	EXPECT_EQ(final_path, d + "/recording_7_2.wav");
	EXPECT_EQ(fs::file_size(fs::u8path(final_path)), 44u + 600u * 4u);
	std::ifstream earlier(fs::u8path(d) / "recording_7.wav");
	std::string text;
	earlier >> text;
	EXPECT_EQ(text, "earlier");
}

} // namespace
