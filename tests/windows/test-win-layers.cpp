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
#include "recording/recording.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <future>

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
}

} // namespace
