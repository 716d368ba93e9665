// SPDX-License-Identifier: GPL-3.0-or-later
// Cost of the audio capture callback per 1024-frame stereo block over a simulated hour of
// recording, beside a plain copy of the same block. Not a test: it prints figures.
//   build/bench/capture-bench [minutes]
#include "silent-sounds.hpp"
#include "module/source-context.hpp"
#include "platform/sound.hpp"
#include "recognition/recognizer-worker.hpp"
#include "recording/audio-ring.hpp"
#include "recording/recording.hpp"

#include <obs.h>
#include <util/platform.h>

#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

using testhost::SilentSounds;

struct Stats {
	double median, p99, p999, worst, mean;
};

Stats summarise(std::vector<double> ns)
{
	double sum = 0;
	for (double v : ns)
		sum += v;
	std::sort(ns.begin(), ns.end());
	auto at = [&](double q) { return ns[std::min(ns.size() - 1, size_t(q * double(ns.size())))] / 1000.0; };
	return {at(0.5), at(0.99), at(0.999), ns.back() / 1000.0, sum / double(ns.size()) / 1000.0};
}

void print(const char *what, const Stats &s)
{
	std::printf("%-28s median %7.2f us  p99 %7.2f us  p99.9 %7.2f us  worst %8.2f us  mean %6.2f us\n", what,
		    s.median, s.p99, s.p999, s.worst, s.mean);
}

long peak_rss_mb()
{
	rusage usage = {};
	getrusage(RUSAGE_SELF, &usage);
	return usage.ru_maxrss / 1024;
}

// Time this thread ran, not counting time it waited for a core: a shared machine's
// preemptions show in the wall-clock worst case, not here.
double thread_cpu_ns()
{
	timespec ts = {};
	clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
	return double(ts.tv_sec) * 1e9 + double(ts.tv_nsec);
}

void quiet_log(int, const char *, va_list, void *) {}

} // namespace

int main(int argc, char **argv)
{
	const double minutes = argc > 1 ? std::atof(argv[1]) : 60.0;
	const uint32_t rate = 48000, frames = 1024;
	const size_t blocks = size_t(minutes * 60.0 * rate / frames);

	std::string config = (std::filesystem::temp_directory_path() / "brisvane-bench-XXXXXX").string();
	if (!mkdtemp(config.data()))
		return 1;
	setenv("XDG_CONFIG_HOME", config.c_str(), 1);
	base_set_log_handler(quiet_log, nullptr);
	SilentSounds sounds;
	platform::set_sound_layer(&sounds);

	// The ring and a worker woken for every block, as a listening source has them. Its model
	// folder does not exist: Vosk, at the many times real time this bench runs, would only
	// compete with the callback for the CPU.
	SourceContext ctx;
	ctx.audio_ring = std::make_unique<AudioRing>(uint16_t(2), 30 * rate);
	ctx.recognizer =
	    std::make_unique<RecognizerWorker>(*ctx.audio_ring, config + "/no-model", float(rate), ResultCallback());
	ctx.sample_rate = rate;
	// As source_create does: the chunk table sized for the largest take, and the next storage
	// chunk backed ahead on a thread of its own.
	ctx.recording_buffer.reserve_table(recording_sample_limit());
	const bool spare = ctx.recording_buffer.keep_spare_ready();
	ctx.enable_silence_stop = true; // level measured on every block, never quiet enough to stop
	ctx.silence_threshold_db = -90.0f;

	std::vector<float> left(frames), right(frames);
	for (uint32_t i = 0; i < frames; ++i) {
		left[i] = 0.5f * std::sin(float(i) * 0.0654f);
		right[i] = 0.25f * std::cos(float(i) * 0.0321f);
	}
	audio_data block = {};
	block.data[0] = reinterpret_cast<uint8_t *>(left.data());
	block.data[1] = reinterpret_cast<uint8_t *>(right.data());
	block.frames = frames;

	// First an hour into fresh storage, then the same again into the storage that the first
	// recording left (kept for reuse), then an hour of listening without recording.
	struct Phase {
		const char *name;
		bool recording;
	};
	const Phase phases[] = {{"first recording", true}, {"next recording", true}, {"idle (not recording)", false}};
	std::vector<double> capture_ns(blocks), copy_ns(blocks), cpu_ns(blocks);
	const size_t chunk = SampleBuffer::chunk_samples;
	size_t stored_chunks = 0; // storage is kept from one recording to the next
	std::vector<float> floor_copy(size_t(frames) * 2);
	for (const Phase &phase : phases) {
		{
			// As a start does, without asking a host (none runs here) for its rate.
			std::lock_guard<std::mutex> lock(ctx.mutex);
			ctx.recording_buffer.clear();
			ctx.recording = phase.recording;
		}
		// Blocks that take a fresh storage chunk (only while the storage first grows),
		// reported apart: they pay for backing the whole chunk.
		std::vector<double> growing_ns, other_ns;
		for (size_t b = 0; b < blocks; ++b) {
			const size_t after = ctx.recording_buffer.size() + size_t(frames) * 2;
			const bool grows = phase.recording && (after + chunk - 1) / chunk > stored_chunks;
			if (grows) {
				stored_chunks = (after + chunk - 1) / chunk;
				// Live audio takes a new chunk every third of a second, ample time to back
				// the next; this bench runs far faster than that, so give the thread its time.
				for (int i = 0; spare && !ctx.recording_buffer.spare_ready() && i < 1000; ++i)
					std::this_thread::sleep_for(std::chrono::microseconds(20));
			}
			auto t0 = Clock::now();
			std::memcpy(floor_copy.data(), left.data(), frames * sizeof(float));
			std::memcpy(floor_copy.data() + frames, right.data(), frames * sizeof(float));
			auto t1 = Clock::now();
			const double c0 = thread_cpu_ns();
			auto t1b = Clock::now();
			audio_capture_callback(&ctx, nullptr, &block, false);
			auto t2 = Clock::now();
			cpu_ns[b] = thread_cpu_ns() - c0;
			copy_ns[b] = double(std::chrono::duration_cast<std::chrono::nanoseconds>(t1 - t0).count());
			capture_ns[b] = double(std::chrono::duration_cast<std::chrono::nanoseconds>(t2 - t1b).count());
			(grows ? growing_ns : other_ns).push_back(capture_ns[b]);
		}
		const size_t recorded = ctx.recording_buffer.size();

		// The block that ends the recording also writes the file: timed on its own.
		auto s0 = Clock::now();
		{
			std::lock_guard<std::mutex> lock(ctx.mutex);
			finish_recording(&ctx, StopCause::Silence);
		}
		const double save_ms = std::chrono::duration<double, std::milli>(Clock::now() - s0).count();

		std::printf("\n%s: %zu blocks of %u frames, stereo, %.1f minutes at %u Hz\n", phase.name, blocks,
			    frames, double(blocks) * frames / rate / 60.0, rate);
		print("audio_capture_callback", summarise(capture_ns));
		print("plain copy of the block", summarise(copy_ns));
		print("  callback, thread CPU time", summarise(cpu_ns));
		if (!growing_ns.empty() && phase.recording) {
			print("  blocks taking a new chunk", summarise(growing_ns));
			print("  all other blocks", summarise(other_ns));
		}
		const auto over =
		    std::count_if(capture_ns.begin(), capture_ns.end(), [](double v) { return v > 200000; });
		const auto copy_over =
		    std::count_if(copy_ns.begin(), copy_ns.end(), [](double v) { return v > 200000; });
		std::printf("blocks over 200 us: %ld (the plain copy, which never waits, also: %ld)\n", long(over),
			    long(copy_over));
		if (phase.recording)
			std::printf(
			    "recorded %zu samples (%.1f MiB); the saving block took %.0f ms; peak RSS %ld MiB\n",
			    recorded, double(recorded) * 2 / 1048576.0, save_ms, peak_rss_mb());
		for (const auto &entry : std::filesystem::directory_iterator(std::string(config) + "/obs-brisvane"))
			std::filesystem::remove(entry.path());
	}

	platform::set_sound_layer(nullptr);
	std::filesystem::remove_all(config);
	return 0;
}
