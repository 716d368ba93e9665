// SPDX-License-Identifier: GPL-3.0-or-later
// CPU that idle instances cost inside a running libobs. First a test source delivers silence
// in real time, with nobody listening, then with an instance attached (worker, capture
// callback and Vosk on silence). Then nothing delivers audio at all, first without
// instances, then with eight, each listening to a source of its own that stays silent.
// Not a test: it prints figures.
//   build/bench/idle-bench [seconds per phase] [module file]
// Prints "idle-host", "idle-instance", "quiet-host" and "quiet-eight", each in percent of
// one core.
#include "obs-host.hpp"

#include <obs.h>

#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double cpu_seconds()
{
	rusage u = {};
	getrusage(RUSAGE_SELF, &u);
	return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Runs for `seconds` while a thread pushes silence at 48 kHz; returns CPU % of one core.
double measure(obs_source_t *mic, double seconds)
{
	std::atomic<bool> stop{false};
	std::thread pusher([&] {
		const std::vector<float> quiet(1024, 0.0f);
		auto next = Clock::now();
		while (!stop) {
			testhost::push_audio(mic, quiet.data(), quiet.data(), 1024);
			next += std::chrono::microseconds(1024 * 1000000 / 48000);
			std::this_thread::sleep_until(next);
		}
	});
	std::this_thread::sleep_for(std::chrono::milliseconds(500)); // settle
	const double c0 = cpu_seconds();
	const auto t0 = Clock::now();
	std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
	const double cpu = cpu_seconds() - c0;
	const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
	stop = true;
	pusher.join();
	return 100.0 * cpu / wall;
}

// CPU % of one core over `seconds` while nothing pushes audio.
double measure_quiet(double seconds)
{
	std::this_thread::sleep_for(std::chrono::milliseconds(500)); // settle
	const double c0 = cpu_seconds();
	const auto t0 = Clock::now();
	std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
	const double cpu = cpu_seconds() - c0;
	return 100.0 * cpu / std::chrono::duration<double>(Clock::now() - t0).count();
}

} // namespace

int main(int argc, char **argv)
{
	const double seconds = argc > 1 ? std::atof(argv[1]) : 10.0;
	testhost::HostOptions options;
	options.model = "model-ru";
	if (argc > 2)
		options.module_path = argv[2];
	testhost::ObsHost host(options);
	obs_source_t *mic = testhost::create_test_audio_source("Mic");

	std::printf("idle-host %.2f\n", measure(mic, seconds));
	std::fflush(stdout);

	obs_data_t *settings = obs_data_create();
	obs_data_set_string(settings, "target_source", "Mic");
	obs_source_t *uploader = obs_source_create("brisvane", "Uploader", settings, nullptr);
	obs_data_release(settings);
	std::printf("idle-instance %.2f\n", measure(mic, seconds));
	std::fflush(stdout);
	obs_source_release(uploader);
	obs_source_release(mic);
	testhost::ObsHost::barrier();

	std::printf("quiet-host %.2f\n", measure_quiet(seconds));
	std::fflush(stdout);
	std::vector<obs_source_t *> quiet, uploaders;
	for (int i = 0; i < 8; ++i) {
		const std::string name = "Quiet " + std::to_string(i);
		quiet.push_back(testhost::create_test_audio_source(name.c_str()));
		obs_data_t *s = obs_data_create();
		obs_data_set_string(s, "target_source", name.c_str());
		uploaders.push_back(
		    obs_source_create("brisvane", ("Uploader " + std::to_string(i)).c_str(), s, nullptr));
		obs_data_release(s);
	}
	std::this_thread::sleep_for(std::chrono::seconds(1)); // the shared model loads
	std::printf("quiet-eight %.2f\n", measure_quiet(seconds));
	for (obs_source_t *u : uploaders)
		obs_source_release(u);
	for (obs_source_t *q : quiet)
		obs_source_release(q);
	testhost::ObsHost::barrier();
	return 0;
}
