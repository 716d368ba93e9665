// SPDX-License-Identifier: GPL-3.0-or-later
// Every file call of a take's life, from its create to its delete, made in turn to fail (EIO,
// ENOSPC, EACCES) or to end the process right there. A failure leaves the take delivered, or
// on disk with a line that says so; after a death, the next start delivers it with at most its
// last second missing. Each life runs in a child forked from this thread-less process; the
// server is a process of its own.
#include "obs-host.hpp"
#include "receiver.hpp"
#include "recording-server.hpp"
#include "test-files.hpp"

#include "audio/audio-ring.hpp"
#include "platform/file-steps.hpp"
#include "recording/take-writer.hpp"
#include "store/take-recovery.hpp"
#include "takes/take-handover.hpp"
#include "upload/delivery-queue.hpp"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <thread>

using testhost::Log;

namespace {

constexpr uint32_t rate = 48000;
constexpr uint16_t channels = 2;
// A take of three half seconds, its header brought up to date after each.
constexpr uint32_t piece_frames = rate / 2;
constexpr int pieces = 3;
constexpr int64_t take_seconds = 1700000000;

int16_t sample_at(uint64_t frame, int channel)
{
	return int16_t((frame * 7 + uint64_t(channel) * 3) & 0x7fff);
}

// What the server received of one take: its file name and its frames, when they are exactly
// the take's first frames.
struct Received {
	std::string name;
	uint64_t frames = 0;
	bool prefix = false;
};

Received parse_upload(const std::string &raw)
{
	const auto request = testserver::parse_request(raw);
	Received r;
	std::vector<uint8_t> file;
	receiver::WavInfo info;
	if (!receiver::parse_multipart(request.header("Content-Type"), request.body, r.name, file) ||
	    !receiver::read_wav_info(file, info) || info.data_bytes + 44 != file.size())
		return r;
	r.frames = info.data_bytes / 4;
	r.prefix = true;
	for (uint64_t f = 0; f < r.frames && r.prefix; ++f)
		for (int c = 0; c < channels; ++c) {
			int16_t v;
			std::memcpy(&v, file.data() + 44 + (f * channels + c) * 2, 2);
			r.prefix = r.prefix && v == sample_at(f, c);
		}
	return r;
}

// The take's life as the source's thread lives it, then its delivery; ends once the queue has
// nothing left to try. Writes the steps taken after each piece to `steps_file`.
void live_a_take(const std::string &dir, const std::string &url, const std::string &steps_file)
{
	AudioRing ring(channels, rate * 4);
	TakeWriter writer(ring);
	std::vector<int16_t> piece(size_t(piece_frames) * channels);
	std::vector<uint64_t> after_piece;
	writer.begin(0, rate, take_seconds, dir, url);
	for (int p = 0; p < pieces; ++p) {
		for (uint32_t f = 0; f < piece_frames; ++f)
			for (int c = 0; c < channels; ++c)
				piece[size_t(f) * channels + c] = sample_at(uint64_t(p) * piece_frames + f, c);
		ring.write(piece.data(), piece_frames);
		after_piece.push_back(platform::file_steps_taken());
		writer.pump(ring.end(), true);
	}
	writer.close();
	hand_over_take(writer.file(), dir, take_seconds, writer.values(ring.end()), url, false);
	for (int i = 0; i < 5000; ++i) {
		const DeliveryStatus s = delivery_status();
		if (s.sending + s.ready + s.waiting == 0)
			break;
		std::this_thread::sleep_for(std::chrono::milliseconds(2));
	}
	stop_delivery();
	std::ofstream out(steps_file);
	for (uint64_t n : after_piece)
		out << n << "\n";
	out << platform::file_steps_taken() << "\n";
	for (uint64_t n = 1; n <= platform::file_steps_taken(); ++n)
		out << platform::file_step_call(n) << "\n";
}

// OBS starting again: what a crash left is finished and everything waiting is sent.
void start_again(const std::string &dir)
{
	start_delivery(dir, [](const std::string &folder) { recover_unfinished_takes(folder); });
	for (int i = 0; i < 5000; ++i) {
		const DeliveryStatus s = delivery_status();
		if (!s.scanning && s.sending + s.ready + s.waiting == 0)
			break;
		std::this_thread::sleep_for(std::chrono::milliseconds(2));
	}
	stop_delivery();
}

// Runs fn in a child; its log lines, and whether it ran to its end.
std::vector<std::string> in_child(const std::string &scratch, const std::function<void()> &fn, bool &lived)
{
	const std::string lines_file = scratch + "/child-lines.txt";
	std::remove(lines_file.c_str());
	const pid_t pid = fork();
	if (pid == 0) {
		Log::clear();
		fn();
		platform::reset_file_steps();
		std::ofstream out(lines_file);
		for (const auto &line : Log::lines())
			out << line.level << " " << line.text << "\n";
		out.close();
		_exit(0);
	}
	int status = 0;
	waitpid(pid, &status, 0);
	lived = WIFEXITED(status) && WEXITSTATUS(status) == 0;
	std::vector<std::string> lines;
	std::ifstream in(lines_file);
	for (std::string line; std::getline(in, line);)
		lines.push_back(line);
	return lines;
}

bool says_kept(const std::vector<std::string> &lines, const std::vector<std::string> &files)
{
	// A warning or an error naming the take, or the queue's count of what it left.
	for (const auto &line : lines) {
		const bool loud = line.rfind(std::to_string(LOG_WARNING) + " ", 0) == 0 ||
				  line.rfind(std::to_string(LOG_ERROR) + " ", 0) == 0;
		if (line.find("upload(s) left for the next start") != std::string::npos)
			return true;
		for (const auto &file : files)
			if (loud && line.find(std::filesystem::path(file).filename().string()) != std::string::npos)
				return true;
	}
	return false;
}

TEST(FileSteps, EveryStepOfATakeFailingOrDyingLeavesItDeliveredOrKeptAndSaid)
{
	Log::install();
	testhost::TempDir scratch;
	auto server = testserver::RecordingServer::start();
	const std::string url = server->url("/steps");
	delivery_settings().retry_second = std::chrono::milliseconds(1);
	const std::string dir = scratch.path() + "/takes";
	const std::string steps_file = scratch.path() + "/steps.txt";

	// A life without faults: how many steps, which call each is, where each piece begins.
	std::filesystem::create_directories(dir);
	bool lived = false;
	in_child(
	    scratch.path(), [&] { live_a_take(dir, url, steps_file); }, lived);
	ASSERT_TRUE(lived);
	std::ifstream steps_in(steps_file);
	std::vector<uint64_t> piece_begins(pieces);
	for (auto &n : piece_begins)
		steps_in >> n;
	uint64_t total = 0;
	steps_in >> total;
	std::vector<std::string> calls(total + 1);
	for (uint64_t n = 1; n <= total; ++n)
		steps_in >> calls[n];
	ASSERT_EQ(server->requests().size(), 1u);
	EXPECT_EQ(parse_upload(server->requests()[0]).frames, uint64_t(pieces) * piece_frames);
	EXPECT_TRUE(testhost::files_in(dir).empty());
	ASSERT_GT(total, 20u);

	struct Fault {
		const char *name;
		platform::StepFault fault;
		int error;
	};
	const Fault faults[] = {{"EIO", platform::StepFault::Fail, EIO},
				{"ENOSPC", platform::StepFault::Fail, ENOSPC},
				{"EACCES", platform::StepFault::Fail, EACCES},
				{"death", platform::StepFault::Die, 0}};
	std::printf("%llu steps in a take's life\n", static_cast<unsigned long long>(total));
	std::printf("%-4s %-9s %-7s %s\n", "step", "call", "fault", "outcome");
	for (uint64_t n = 1; n <= total; ++n) {
		uint64_t recorded = 0;
		for (int p = 0; p < pieces; ++p)
			if (piece_begins[size_t(p)] < n)
				recorded = uint64_t(p + 1) * piece_frames;
		for (const Fault &f : faults) {
			SCOPED_TRACE(std::to_string(n) + " " + calls[n] + " " + f.name);
			std::filesystem::remove_all(dir);
			std::filesystem::create_directories(dir);
			server->clear();
			const auto lines = in_child(
			    scratch.path(),
			    [&] {
				    platform::plan_file_fault(n, f.fault, f.error);
				    live_a_take(dir, url, scratch.path() + "/unused.txt");
			    },
			    lived);
			EXPECT_EQ(lived, f.fault == platform::StepFault::Fail);
			const size_t before_restart = server->requests().size();
			const auto left = testhost::files_in(dir);
			std::string outcome;
			if (f.fault == platform::StepFault::Fail) {
				// Delivered at most once, or kept with a line that says so.
				ASSERT_LE(before_restart, 1u);
				if (before_restart == 1) {
					const Received r = parse_upload(server->requests()[0]);
					EXPECT_TRUE(r.prefix);
					outcome = "delivered, " + std::to_string(r.frames * 1000 / rate) + " ms";
				} else {
					EXPECT_FALSE(left.empty()) << "neither delivered nor kept";
					EXPECT_TRUE(says_kept(lines, left)) << "kept without a word";
					outcome = "kept";
				}
			}
			bool restarted = false;
			in_child(
			    scratch.path(), [&] { start_again(dir); }, restarted);
			ASSERT_TRUE(restarted);
			const auto requests = server->requests();
			if (f.fault == platform::StepFault::Fail) {
				EXPECT_LE(requests.size(), 1u) << "a failure never sends a take twice";
				if (before_restart == 0 && requests.size() == 1)
					outcome += ", delivered at the next start";
			} else {
				// A second delivery only when the death came after the server took it.
				EXPECT_LE(requests.size(), before_restart > 0 ? 2u : 1u);
				// A take of less than a second may be lost whole: that is its last second.
				ASSERT_GE(requests.size() + (recorded <= rate ? 1 : 0), 1u) << "lost";
				std::string names;
				for (const auto &raw : requests) {
					const Received r = parse_upload(raw);
					EXPECT_TRUE(r.prefix);
					EXPECT_GE(r.frames + rate, recorded) << "more than its last second missing";
					EXPECT_EQ(r.name, parse_upload(requests[0]).name);
					names += " " + std::to_string(r.frames * 1000 / rate) + " ms";
				}
				outcome = requests.empty()
					      ? "nothing recorded yet, nothing sent"
					      : "delivered" + names + (requests.size() > 1 ? " (twice)" : "");
			}
			// (a record's temporary that a death left goes at a start a minute later)
			auto after = testhost::files_in(dir);
			after.erase(std::remove_if(after.begin(), after.end(),
						   [](const std::string &p) {
							   return p.size() > 4 && p.substr(p.size() - 4) == ".tmp";
						   }),
				    after.end());
			if (!requests.empty()) {
				EXPECT_TRUE(after.empty())
				    << "a delivered take is deleted at the latest at the next start";
			}
			std::printf("%-4llu %-9s %-7s %s\n", static_cast<unsigned long long>(n), calls[n].c_str(),
				    f.name, outcome.c_str());
		}
	}
}

} // namespace
