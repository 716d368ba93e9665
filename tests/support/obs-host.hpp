// SPDX-License-Identifier: GPL-3.0-or-later
// Real libobs, started headless (audio only) inside a test process, with our module loaded
// by path and every log line captured.
#pragma once

#include <obs.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace testhost {

struct LogLine {
	int level;
	std::string text;
};

// Installs the capturing log handler once per process; lines are kept in order.
class Log {
public:
	static void install();
	static std::vector<LogLine> lines();
	static void clear();
	// The lines so far, leaving none behind, in one step (no line slips between).
	static std::vector<LogLine> take();
	static bool contains(const std::string &text, int level = -1);
	static size_t count(const std::string &text, int level = -1);
	// Waits until a line containing text appears (or the timeout passes).
	static bool wait_for(const std::string &text, std::chrono::milliseconds timeout = std::chrono::seconds(10));
	// Lines containing the prefix, in order (e.g. "[Brisvane]").
	static std::vector<std::string> with_prefix(const std::string &prefix);
	// While held, every other thread that logs waits in blog until it is let go: a test
	// can so stop a thread of the module at its next line.
	static void hold_others(bool hold);
};

// A fresh temporary directory, removed with its contents on destruction.
class TempDir {
public:
	TempDir();
	~TempDir();
	TempDir(const TempDir &) = delete;
	TempDir &operator=(const TempDir &) = delete;
	const std::string &path() const { return path_; }

private:
	std::string path_;
};

struct HostOptions {
	uint32_t samples_per_sec = 48000;
	speaker_layout speakers = SPEAKERS_STEREO;
	// Folder handed to OBS as the module's data folder; empty means the staged one.
	std::string data_dir;
	// Copy this tone model into the data folder as "model" (empty: no model).
	std::string model;
	// XDG_CONFIG_HOME for this host instead of a private folder, e.g. the same one across a
	// restart.
	std::string config_dir;
	// The module file to load; empty means the staged one.
	std::string module_path;
};

// Starts libobs and loads the staged module; shuts both down on destruction. XDG_CONFIG_HOME
// points into a private temporary folder for the host's lifetime.
class ObsHost {
public:
	explicit ObsHost(const HostOptions &options = {});
	~ObsHost();
	ObsHost(const ObsHost &) = delete;
	ObsHost &operator=(const ObsHost &) = delete;

	obs_module_t *module() const { return module_; }
	const std::string &data_dir() const { return data_dir_; }
	// Where the module writes its recordings: os_get_config_path(..., "obs-brisvane"), i.e.
	// "$XDG_CONFIG_HOME/obs-brisvane".
	std::string recordings_dir() const;
	// Lets queued audio and destroy work run, for a clean shutdown.
	static void barrier();

private:
	TempDir config_;
	std::string config_dir_;
	TempDir data_;
	std::string data_dir_;
	obs_module_t *module_ = nullptr;
};

// Paths baked in by CMake.
std::string staged_module_path();
std::string staged_data_dir();
std::string tone_model_dir(const std::string &name); // "model-ru" or "model-latin"

// An audio-only input source of the tests' own that pushes blocks on demand.
obs_source_t *create_test_audio_source(const char *name);
// Pushes one float planar stereo block; capture callbacks run inside this call.
void push_audio(obs_source_t *source, const float *left, const float *right, uint32_t frames,
		uint32_t samples_per_sec = 48000);

// Sine of freq_hz at amplitude, or silence when freq_hz is 0.
std::vector<float> tone(double freq_hz, double seconds, uint32_t rate = 48000, float amplitude = 0.5f);
// White noise at 48 kHz: loud, yet never heard as a word by the tone models.
std::vector<float> noise(double seconds, float amplitude = 0.3f);

// Hotkey id registered by the given source under the given name, or OBS_INVALID_HOTKEY_ID.
obs_hotkey_id find_source_hotkey(obs_source_t *source, const char *name);

} // namespace testhost
