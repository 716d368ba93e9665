// SPDX-License-Identifier: GPL-3.0-or-later
// What a take costs the host's threads: the capture callback per 1 024-frame stereo block
// while a take is recorded (beside a plain copy of the block), the hotkey call that ends a
// take of 1 s, 10 min and 1 h, the worst block while that take is being finished, and the
// memory held during and after the take. Audio is pushed faster than real time, as the
// host's audio thread would call the callback. Not a test: it prints figures.
//   build/bench/take-bench [speed]     speed: times real time (default 200)
#include "silent-sounds.hpp"
#include "module/source-context.hpp"
#include "platform/sound.hpp"
#include "recognition/recognizer-worker.hpp"

#include <obs.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Stats {
	double median, p999, worst;
};

Stats summarise(std::vector<double> ns)
{
	if (ns.empty())
		return {0, 0, 0};
	std::sort(ns.begin(), ns.end());
	auto at = [&](double q) { return ns[std::min(ns.size() - 1, size_t(q * double(ns.size())))] / 1000.0; };
	return {at(0.5), at(0.999), ns.back() / 1000.0};
}

// Resident memory now, in MiB.
double rss_mib()
{
	std::ifstream statm("/proc/self/statm");
	long pages = 0, resident = 0;
	statm >> pages >> resident;
	return double(resident) * double(sysconf(_SC_PAGESIZE)) / 1048576.0;
}

double ns_since(Clock::time_point t0)
{
	return double(std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - t0).count());
}

void quiet_log(int, const char *, va_list, void *) {}

} // namespace

int main(int argc, char **argv)
{
	const double speed = argc > 1 ? std::atof(argv[1]) : 200.0;
	const uint32_t rate = 48000, frames = 1024;

	std::string config = (std::filesystem::temp_directory_path() / "brisvane-bench-XXXXXX").string();
	if (!mkdtemp(config.data()))
		return 1;
	setenv("XDG_CONFIG_HOME", config.c_str(), 1);
	base_set_log_handler(quiet_log, nullptr);
	testhost::SilentSounds sounds;
	platform::set_sound_layer(&sounds);

	std::vector<float> left(frames), right(frames), floor_copy(size_t(frames) * 2);
	for (uint32_t i = 0; i < frames; ++i) {
		left[i] = 0.5f * std::sin(float(i) * 0.0654f);
		right[i] = 0.25f * std::cos(float(i) * 0.0321f);
	}
	audio_data block = {};
	block.data[0] = reinterpret_cast<uint8_t *>(left.data());
	block.data[1] = reinterpret_cast<uint8_t *>(right.data());
	block.frames = frames;

	struct Length {
		const char *name;
		double seconds;
	};
	for (const Length &length : {Length{"1 s", 1}, Length{"10 min", 600}, Length{"1 h", 3600}}) {
		const size_t blocks = size_t(length.seconds * rate / frames + 0.5);
		std::vector<double> capture_ns(blocks + 100), copy_ns(blocks + 100000), stopping_ns(100000);
		capture_ns.clear();
		copy_ns.clear();
		stopping_ns.clear();
		// The bench's own figures are in memory before the source exists.
		const double before_mib = rss_mib();
		double during_mib = 0, stop_call_ns = 0, start_call_ns = 0, finish_ms = 0;
		{
			// As source_create makes it: the ring, the scratch and the take thread.
			SourceContext ctx;
			ctx.takes = std::make_unique<TakePipeline>(
			    2, rate, TakePipeline::Sounds{play_start_sound, play_stop_sound});
			// The level is measured on every block, never quiet enough to stop.
			ctx.takes->set_silence_stop(true, -90.0f, 2000);

			auto start_ns = Clock::now();
			ctx.takes->hotkey_pressed(rate);
			start_call_ns = ns_since(start_ns);
			const auto paced_from = Clock::now();
			size_t pushed = 0;
			auto push = [&](std::vector<double> &into) {
				// No faster than `speed` times real time, as a host under load might deliver it.
				const double due_ns = double(pushed) * frames / rate * 1e9 / speed;
				while (ns_since(paced_from) < due_ns)
					std::this_thread::sleep_for(std::chrono::microseconds(200));
				auto t0 = Clock::now();
				std::memcpy(floor_copy.data(), left.data(), frames * sizeof(float));
				std::memcpy(floor_copy.data() + frames, right.data(), frames * sizeof(float));
				copy_ns.push_back(ns_since(t0));
				auto t1 = Clock::now();
				audio_capture_callback(&ctx, nullptr, &block, false);
				into.push_back(ns_since(t1));
				++pushed;
			};
			for (size_t b = 0; b < blocks; ++b)
				push(capture_ns);
			during_mib = rss_mib();

			// The stop as the hotkey makes it, then blocks keep arriving while the take is finished.
			std::atomic<bool> finished{false};
			auto t_stop = Clock::now();
			ctx.takes->hotkey_pressed(rate);
			stop_call_ns = ns_since(t_stop);
			std::thread waiter([&] {
				ctx.takes->wait_idle();
				finished = true;
			});
			while (!finished || stopping_ns.size() < 50)
				push(stopping_ns);
			finish_ms = ns_since(t_stop) / 1e6;
			waiter.join();
		}
		// The source is gone with its ring: what stays is what a take left behind.
		const double after_mib = rss_mib();

		// The take on disk holds every frame pushed before the stop.
		uint64_t file_bytes = 0;
		for (const auto &entry : std::filesystem::directory_iterator(config + "/obs-brisvane")) {
			if (entry.path().extension() == ".wav")
				file_bytes = entry.file_size();
			std::filesystem::remove(entry.path());
		}
		const Stats steady = summarise(capture_ns), copy = summarise(copy_ns), stop = summarise(stopping_ns);
		std::printf("take %s: blocks %zu, start call %.2f us, stop call %.2f us, finished in %.1f ms\n",
			    length.name, blocks, start_call_ns / 1000.0, stop_call_ns / 1000.0, finish_ms);
		std::printf("take %s: steady median %.2f us p99.9 %.2f us worst %.2f us | copy median %.2f us "
			    "p99.9 %.2f us worst %.2f us\n",
			    length.name, steady.median, steady.p999, steady.worst, copy.median, copy.p999, copy.worst);
		std::printf("take %s: during stop blocks %zu median %.2f us worst %.2f us\n", length.name,
			    stopping_ns.size(), stop.median, stop.worst);
		std::printf("take %s: memory before %.1f MiB during %.1f MiB after %.1f MiB; file %llu bytes, "
			    "expected %llu\n",
			    length.name, before_mib, during_mib, after_mib, static_cast<unsigned long long>(file_bytes),
			    static_cast<unsigned long long>(44 + uint64_t(blocks) * frames * 4));
		std::fflush(stdout);
	}
	platform::set_sound_layer(nullptr);
	std::filesystem::remove_all(config);
	return 0;
}
