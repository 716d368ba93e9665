// SPDX-License-Identifier: GPL-3.0-or-later
// How long obs_source_create takes when the model's files are slow to read: the module is
// loaded beside a stand-in libvosk whose model load takes BRISVANE_STANDIN_LOAD_DELAY_MS.
// Two sources use the same model folder. Not a test: it prints figures.
//   build/bench/load-bench <module file beside the stand-in libvosk>
// Prints "create-first <ms>", "create-second <ms>" and "listening <ms>" (from the first
// create until both sources said that their model is loaded).
#include "obs-host.hpp"

#include <obs.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

double ms_since(Clock::time_point t0)
{
	return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

} // namespace

int main(int argc, char **argv)
{
	if (argc < 2) {
		std::fprintf(stderr, "usage: load-bench <module file>\n");
		return 2;
	}
	testhost::HostOptions options;
	options.model = "model-ru";
	options.module_path = argv[1];
	testhost::ObsHost host(options);
	testhost::Log::clear();

	const auto t0 = Clock::now();
	obs_source_t *first = obs_source_create("brisvane", "First", nullptr, nullptr);
	const double create_first = ms_since(t0);
	const auto t1 = Clock::now();
	obs_source_t *second = obs_source_create("brisvane", "Second", nullptr, nullptr);
	const double create_second = ms_since(t1);
	const char *loaded = "[Vosk] Model loaded successfully.";
	while (testhost::Log::count(loaded) < 2 && ms_since(t0) < 60000)
		std::this_thread::sleep_for(std::chrono::milliseconds(1));
	const double listening = ms_since(t0);

	std::printf("create-first %.1f\ncreate-second %.1f\nlistening %.1f\n", create_first, create_second, listening);
	obs_source_release(first);
	obs_source_release(second);
	testhost::ObsHost::barrier();
	return testhost::Log::count(loaded) == 2 ? 0 : 1;
}
