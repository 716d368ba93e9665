// SPDX-License-Identifier: GPL-3.0-or-later
// Many takes, ended by the hotkey, by spoken keywords and by silence, uploaded to a server
// that often fails. At the end every take is either uploaded and deleted or kept on disk for
// its next attempt, and no file descriptor, thread or memory has been left behind.
//   BRISVANE_SOAK_TAKES=3000 build/tests/soak/test_soak
#include "../faults/fault-server.hpp"
#include "../faults/fault-util.hpp"
#include "../module/module-test-util.hpp"
#include "recognition/recognizer-worker.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <thread>

namespace fs = std::filesystem;
using faults::FaultServer;
using testhost::Log;
using Clock = std::chrono::steady_clock;

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// Sanitizers hold freed memory back on purpose; their own leak and race checks stand in.
constexpr bool check_memory = false;
#else
constexpr bool check_memory = true;
#endif

size_t entries(const char *dir)
{
	size_t n = 0;
	for (auto it = fs::directory_iterator(dir); it != fs::directory_iterator(); ++it)
		++n;
	return n;
}

long rss_kib()
{
	std::ifstream status("/proc/self/status");
	for (std::string line; std::getline(status, line);)
		if (line.rfind("VmRSS:", 0) == 0)
			return std::atol(line.c_str() + 6);
	return 0;
}

struct Usage {
	size_t fds = 0, threads = 0;
	long rss = 0;
};

Usage usage()
{
	return {entries("/proc/self/fd"), entries("/proc/self/task"), rss_kib()};
}

// What the log said, summed over the whole run.
struct Tally {
	size_t started = 0, saved_lines = 0, uploading = 0, deleted = 0, kept = 0, errors = 0;
	// How each take's last attempt ended: true when kept (a name may come again once its
	// take is gone).
	std::map<std::string, bool> last_kept;

	void note(const std::string &line, const std::string &start, bool kept_it)
	{
		if (line.rfind(start, 0) == 0)
			last_kept[line.substr(start.size())] = kept_it;
	}

	void add(const std::vector<testhost::LogLine> &lines)
	{
		for (const auto &line : lines) {
			const std::string &t = line.text;
			started += t.find("Started recording...") != std::string::npos;
			saved_lines += t.rfind("[Kavrel Assistant] Saved to ", 0) == 0;
			uploading += t.rfind("[Brisvane] Uploading to Host: ", 0) == 0;
			deleted += t.rfind("[Brisvane] Temporary file deleted: ", 0) == 0;
			kept += t.find("file kept") != std::string::npos;
			note(t, "[Brisvane] Temporary file deleted: ", false);
			note(t, "[Brisvane] Upload failed, file kept: ", true);
			// Failed uploads are the server's doing; anything else at error level is ours.
			errors += line.level == LOG_ERROR && t.rfind("[Brisvane] WinHttpSendRequest failed", 0) != 0 &&
				  t.find("file kept") == std::string::npos;
		}
	}
};

class Soak : public testing::Test {
protected:
	static void SetUpTestSuite() { Log::install(); }

	void SetUp() override
	{
		const char *env = std::getenv("BRISVANE_SOAK_TAKES");
		takes = env ? std::strtoul(env, nullptr, 10) : 150;
		testhost::HostOptions options;
		options.model = "model-ru";
		host = std::make_unique<testhost::ObsHost>(options);
		// Every third upload fails one way or another.
		server = std::make_unique<FaultServer>([](size_t n) {
			FaultServer::Behaviour b;
			if (n % 6 == 1)
				b.answer = "HTTP/1.1 500 Internal Server Error\r\nContent-Length: 0\r\n\r\n";
			else if (n % 6 == 4)
				b.kind = FaultServer::Behaviour::ResetMidBody;
			return b;
		});
		obs_hotkey_enable_callback_rerouting(true);
		mic.reset(testhost::create_test_audio_source("Mic"));
		uploader = testutil::create_uploader("Uploader", settings(true).get());
		ctx = testutil::context_of(uploader.get());
		hotkey = testhost::find_source_hotkey(uploader.get(), "Brisvane.Trigger");
	}
	void TearDown() override
	{
		testutil::destroy(uploader);
		testutil::destroy(mic);
		server.reset();
		host.reset();
	}

	testutil::DataPtr settings(bool silence_stop)
	{
		testutil::DataPtr s = testutil::settings_with_target("Mic");
		obs_data_set_string(s.get(), "server_url", server->url().c_str());
		obs_data_set_string(s.get(), "start_keywords", "старт");
		obs_data_set_string(s.get(), "stop_keywords", "стоп");
		obs_data_set_bool(s.get(), "enable_silence_stop", silence_stop);
		obs_data_set_double(s.get(), "silence_threshold_db", -40.0);
		obs_data_set_int(s.get(), "silence_duration_ms", 100);
		return s;
	}
	void use_silence_stop(bool on) { obs_source_update(uploader.get(), settings(on).get()); }

	void push(const std::vector<float> &samples)
	{
		for (size_t at = 0; at < samples.size(); at += 1024) {
			const auto n = uint32_t(std::min<size_t>(1024, samples.size() - at));
			testhost::push_audio(mic.get(), samples.data() + at, samples.data() + at, n);
			pushed += n;
		}
	}
	void press()
	{
		obs_hotkey_trigger_routed_callback(hotkey, true);
		obs_hotkey_trigger_routed_callback(hotkey, false);
	}
	bool recording() const { return ctx->takes->recording(); }

	// Lets the recogniser hear everything pushed so far and deliver its results.
	void drain_recognizer()
	{
		for (int i = 0; i < 500; ++i) {
			if (pushed - ctx->takes->recognized_position() < RecognizerWorker::piece_frames)
				break;
			std::this_thread::sleep_for(std::chrono::milliseconds(5));
		}
		std::this_thread::sleep_for(std::chrono::milliseconds(50));
	}

	void hotkey_take()
	{
		press();
		push(content);
		press();
		ASSERT_FALSE(recording());
	}

	void keyword_take()
	{
		push(tone_start);
		ASSERT_TRUE(Log::wait_for("[Kavrel Assistant] Started recording..."));
		push(content);
		push(gap);
		push(tone_stop);
		ASSERT_TRUE(Log::wait_for("[Kavrel Assistant] Stopped recording."));
		push(gap);
		drain_recognizer(); // the final result of the stop must not reach the next take
		ASSERT_FALSE(recording());
	}

	void silence_take()
	{
		press();
		push(content);
		const std::vector<float> quiet(1024, 0.0f);
		for (int i = 0; i < 2000 && recording(); ++i) {
			push(quiet);
			std::this_thread::sleep_for(std::chrono::milliseconds(5));
		}
		ASSERT_FALSE(recording()) << "silence never ended the take";
	}

	// Waits until each of the takes so far is deleted or on disk after an attempt, every
	// attempt has ended and the server is idle; returns the usage then.
	Usage settle(Tally &tally, size_t threads_at_rest, size_t takes_so_far)
	{
		// The source's thread first finishes the takes already ended, and starts their uploads.
		ctx->takes->wait_idle();
		const auto until = Clock::now() + std::chrono::seconds(120);
		while (Clock::now() < until) {
			tally.add(Log::take());
			if (all_tried(tally, takes_so_far) && tally.deleted + tally.kept >= tally.uploading &&
			    server->active() == 0 && entries("/proc/self/task") <= threads_at_rest)
				break;
			std::this_thread::sleep_for(std::chrono::milliseconds(20));
		}
		tally.add(Log::take());
		return usage();
	}

	bool all_tried(const Tally &tally, size_t takes_so_far) const
	{
		const auto files = faults::files_in(host->recordings_dir());
		if (files.size() + tally.deleted != takes_so_far)
			return false;
		for (const std::string &file : files) {
			const auto it = tally.last_kept.find(file);
			if (it == tally.last_kept.end() || !it->second)
				return false; // still queued
		}
		return true;
	}

	size_t takes = 0;
	std::unique_ptr<testhost::ObsHost> host;
	std::unique_ptr<FaultServer> server;
	testutil::SourcePtr mic, uploader;
	SourceContext *ctx = nullptr;
	obs_hotkey_id hotkey = OBS_INVALID_HOTKEY_ID;
	uint64_t pushed = 0; // frames the source received, which is the end of its audio ring

	// Noise: loud, yet never heard as a word by the tone model.
	const std::vector<float> content = testhost::noise(0.1);
	const std::vector<float> tone_start = testhost::tone(500, 0.3);
	const std::vector<float> tone_stop = testhost::tone(2000, 0.3);
	const std::vector<float> gap = testhost::tone(0, 1.5);
};

TEST_F(Soak, ThousandsOfTakesLoseNothingAndLeakNothing)
{
	ASSERT_TRUE(ctx->takes && ctx->takes->has_recognizer());
	ASSERT_TRUE(testutil::wait_until_listening(ctx));
	const size_t threads_at_rest = entries("/proc/self/task");
	Tally tally;
	Log::clear();

	// One kind after another, so silence stop is off only while keywords run.
	auto run = [&](size_t first, size_t last) {
		for (size_t i = first; i < last; ++i) {
			// Each take waits only for its own lines.
			tally.add(Log::take());
			const size_t kind = i % 20;
			if (kind == 14)
				use_silence_stop(false);
			if (kind >= 14 && kind < 17)
				keyword_take();
			else if (kind >= 17)
				silence_take();
			else
				hotkey_take();
			if (kind == 16)
				use_silence_stop(true);
			if (HasFatalFailure())
				return;
		}
	};

	const size_t warm_up = std::min<size_t>(40, takes / 4);
	run(0, warm_up);
	ASSERT_FALSE(HasFatalFailure());
	const Usage before = settle(tally, threads_at_rest, warm_up);
	const auto started = Clock::now();
	const size_t half = warm_up + (takes - warm_up) / 2;
	run(warm_up, half);
	ASSERT_FALSE(HasFatalFailure());
	const Usage middle = settle(tally, threads_at_rest, half);
	run(half, takes);
	ASSERT_FALSE(HasFatalFailure());
	const Usage after = settle(tally, threads_at_rest, takes);
	const double seconds = std::chrono::duration<double>(Clock::now() - started).count();

	size_t on_disk = 0; // takes, not the records of their servers beside them
	for (const auto &file : faults::files_in(host->recordings_dir()))
		on_disk += file.size() > 4 && file.compare(file.size() - 4, 4, ".wav") == 0;
	std::printf("soak: %zu takes in %.1f s after warm-up; %zu uploaded and deleted, %zu kept on disk "
		    "(%zu files); fds %zu -> %zu -> %zu, threads %zu -> %zu -> %zu, RSS %ld -> %ld -> %ld KiB\n",
		    takes, seconds, tally.deleted, tally.kept, on_disk, before.fds, middle.fds, after.fds,
		    before.threads, middle.threads, after.threads, before.rss, middle.rss, after.rss);

	// Failed uploads are tried again later, so a take may be attempted more than once.
	EXPECT_GE(tally.uploading, takes) << "every take was saved and handed to an upload";
	EXPECT_EQ(tally.deleted + tally.kept, tally.uploading) << "every attempt ended with its file deleted or kept";
	EXPECT_EQ(tally.deleted, server->accepted()) << "only what the server took was deleted";
	EXPECT_EQ(on_disk + tally.deleted, takes) << "every take not yet taken is on disk";
	EXPECT_GT(tally.kept, 0u);
	EXPECT_EQ(tally.errors, 0u);

	EXPECT_EQ(middle.fds, before.fds);
	EXPECT_EQ(after.fds, before.fds);
	EXPECT_LE(middle.threads, before.threads);
	EXPECT_LE(after.threads, before.threads);
	// The allocator's per-thread arenas fill over the first half and then stay: a leak would
	// keep growing through the second half as well.
	if (check_memory) {
		EXPECT_LT(after.rss - middle.rss, 4 * 1024) << "KiB grown over the second half";
	}
}

} // namespace
