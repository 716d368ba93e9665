// SPDX-License-Identifier: GPL-3.0-or-later
// Saving a take when the disk is full or the configuration folder cannot be written: the
// failure is logged, nothing half-written is uploaded (and so nothing deleted), and what
// reached the disk stays there.
#include "fault-server.hpp"
#include "fault-util.hpp"
#include "obs-host.hpp"
#include "recording-server.hpp"
#include "audio/audio-ring.hpp"
#include "take-feed.hpp"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <thread>

using faults::FaultServer;
using testhost::Log;

namespace {

const StopCause all_causes[] = {StopCause::Hotkey, StopCause::Keyword, StopCause::Silence};

const char *name_of(StopCause cause)
{
	return cause == StopCause::Hotkey ? "hotkey" : cause == StopCause::Keyword ? "keyword" : "silence";
}

class DiskFaults : public testing::Test {
protected:
	static void SetUpTestSuite() { Log::install(); }
	void SetUp() override
	{
		setenv("XDG_CONFIG_HOME", config.path().c_str(), 1);
		platform::set_sound_layer(&sounds);
		Log::clear();
	}
	void TearDown() override { platform::set_sound_layer(nullptr); }

	std::string recordings_dir() const { return config.path() + "/obs-brisvane"; }

	// A take of `values` samples (whole stereo frames), ended by `cause`; returns once saved.
	void save_take(StopCause cause, size_t values, const std::string &url)
	{
		TakePipeline takes(2, 48000, {});
		AudioRing &ring = takes.ring();
		takes.set_server(url);
		takes.set_keywords("start", "stop");
		std::vector<int16_t> samples(values);
		for (size_t i = 0; i < values; ++i)
			samples[i] = int16_t(i * 31);
		takefeed::say(takes, "start", ring.end());
		ring.write(samples.data(), uint32_t(values / 2));
		switch (cause) {
		case StopCause::Keyword:
			takefeed::say(takes, "stop", ring.end());
			break;
		case StopCause::Silence:
			takefeed::quiet_stop(takes);
			break;
		default:
			takes.hotkey_pressed(48000);
		}
		takes.wait_idle();
	}

	// Runs fn in a child process whose files may not grow past `limit` bytes (with SIGXFSZ
	// ignored, so a write past it fails with EFBIG as on a full disk); returns its log lines.
	std::vector<std::string> in_child_with_file_limit(rlim_t limit, const std::function<void()> &fn)
	{
		const std::string lines_file = scratch.path() + "/child-lines.txt";
		const pid_t pid = fork();
		if (pid == 0) {
			signal(SIGXFSZ, SIG_IGN);
			rlimit r = {limit, limit};
			setrlimit(RLIMIT_FSIZE, &r);
			Log::clear();
			fn();
			// An upload thread, if one was started, gets its time to finish.
			std::this_thread::sleep_for(std::chrono::milliseconds(300));
			for (int i = 0;
			     i < 500 && !Log::with_prefix("[Brisvane] Uploading").empty() &&
			     !Log::contains("[Brisvane] Temporary file deleted") && !Log::contains("file kept");
			     ++i)
				std::this_thread::sleep_for(std::chrono::milliseconds(10));
			r = {RLIM_INFINITY, RLIM_INFINITY};
			setrlimit(RLIMIT_FSIZE, &r);
			std::ofstream out(lines_file);
			for (const auto &line : Log::lines())
				out << line.text << "\n";
			out.close();
			_exit(0);
		}
		int status = 0;
		waitpid(pid, &status, 0);
		EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
		std::vector<std::string> lines;
		std::ifstream in(lines_file);
		for (std::string line; std::getline(in, line);)
			lines.push_back(line);
		return lines;
	}

	testhost::TempDir config;
	testhost::TempDir scratch;
	faults::SilentSounds sounds;
};

bool has_line_starting(const std::vector<std::string> &lines, const std::string &start)
{
	for (const auto &line : lines)
		if (line.rfind(start, 0) == 0)
			return true;
	return false;
}

// The children are forked from a process with no other thread (no server runs here), as
// ThreadSanitizer requires; an upload, had one started, would have logged its own lines.
TEST_F(DiskFaults, DiskFillsWhileTheTakeIsWritten)
{
	constexpr rlim_t limit = 64 * 1024;
	const std::string url = "http://127.0.0.1:" + std::to_string(testserver::unused_port()) + "/upload";
	for (StopCause cause : all_causes) {
		SCOPED_TRACE(name_of(cause));
		std::filesystem::remove_all(recordings_dir());
		const auto lines = in_child_with_file_limit(limit, [&] { save_take(cause, 500000, url); });

		auto files = faults::files_in(recordings_dir());
		// Beside it, the record of its server: the next start may still send what was saved.
		files.erase(std::remove_if(
				files.begin(), files.end(),
				[](const std::string &f) { return f.size() > 4 && f.substr(f.size() - 4) == ".url"; }),
			    files.end());
		ASSERT_EQ(files.size(), 1u) << "the partial file stays where the user can find it";
		EXPECT_LE(std::filesystem::file_size(files[0]), limit);
		// A valid WAV of what reached the disk.
		const std::string bytes = faults::read_file(files[0]);
		ASSERT_GE(bytes.size(), 44u);
		uint32_t data_size = 0;
		std::memcpy(&data_size, bytes.data() + 40, 4);
		EXPECT_EQ(data_size % 4, 0u);
		EXPECT_LE(size_t(data_size) + 44, bytes.size());
		EXPECT_GT(data_size, 0u);
		EXPECT_TRUE(has_line_starting(
		    lines,
		    "[Kavrel Assistant] Failed to write all of the file; sending what was written: " + files[0]));
		EXPECT_FALSE(has_line_starting(lines, "[Kavrel Assistant] Saved to"));
		// Handed to the upload now (nothing listens at its server: it stays for a later try).
		EXPECT_TRUE(has_line_starting(lines, "[Brisvane] Uploading to Host: 127.0.0.1"));
	}
}

TEST_F(DiskFaults, ATakeThatFitsIsSavedUnderTheSameLimit)
{
	// The limit itself is not the fault: a take below it is saved and uploaded as usual.
	const auto lines = in_child_with_file_limit(64 * 1024, [&] {
		FaultServer server([](size_t) { return FaultServer::Behaviour{}; });
		save_take(StopCause::Hotkey, 1000, server.url());
		Log::wait_for("[Brisvane] Temporary file deleted: ");
		blog(LOG_INFO, "server took %zu", server.accepted());
	});
	EXPECT_TRUE(has_line_starting(lines, "[Kavrel Assistant] Saved to "));
	EXPECT_TRUE(has_line_starting(lines, "[Brisvane] Temporary file deleted: "));
	EXPECT_TRUE(has_line_starting(lines, "server took 1"));
	EXPECT_TRUE(faults::files_in(recordings_dir()).empty());
}

TEST_F(DiskFaults, ConfigurationFolderCannotBeWritten)
{
	FaultServer server([](size_t) { return FaultServer::Behaviour{}; });
	// A plain file where the folder should be: running as root, permissions would not stop us.
	std::ofstream(recordings_dir()) << "not a folder";
	for (StopCause cause : all_causes) {
		SCOPED_TRACE(name_of(cause));
		Log::clear();
		save_take(cause, 1000, server.url());
		EXPECT_EQ(Log::count("[Kavrel Assistant] Failed to create file: " + recordings_dir() + "/recording_",
				     LOG_ERROR),
			  1u);
		EXPECT_FALSE(Log::contains("Saved to"));
		EXPECT_TRUE(Log::with_prefix("[Brisvane]").empty());
	}
	EXPECT_EQ(faults::read_file(recordings_dir()), "not a folder");
	EXPECT_EQ(server.connections(), 0u);
}

} // namespace
