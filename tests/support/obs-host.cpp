// SPDX-License-Identifier: GPL-3.0-or-later
#include "obs-host.hpp"

#include <util/bmem.h>
#include <util/platform.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace fs = std::filesystem;

namespace testhost {

TempDir::TempDir()
{
	std::string pattern = (fs::temp_directory_path() / "brisvane-test-XXXXXX").string();
	if (!mkdtemp(pattern.data()))
		throw std::runtime_error("mkdtemp failed");
	path_ = pattern;
}

TempDir::~TempDir()
{
	std::error_code ec;
	fs::remove_all(path_, ec);
}

std::string staged_module_path()
{
	return BRISVANE_TEST_MODULE_PATH;
}

std::string staged_data_dir()
{
	return BRISVANE_TEST_DATA_DIR;
}

std::string tone_model_dir(const std::string &name)
{
	return std::string(BRISVANE_TEST_SOURCE_DIR) + "/data/" + name;
}

ObsHost::ObsHost(const HostOptions &options)
{
	Log::install();
	config_dir_ = options.config_dir.empty() ? config_.path() : options.config_dir;
	setenv("XDG_CONFIG_HOME", config_dir_.c_str(), 1);

	// The module's data folder: the staged one, plus the requested model.
	data_dir_ = data_.path();
	fs::copy(options.data_dir.empty() ? staged_data_dir() : options.data_dir, data_dir_,
		 fs::copy_options::recursive);
	if (!options.model.empty())
		fs::copy(tone_model_dir(options.model), data_dir_ + "/model", fs::copy_options::recursive);

	if (!obs_startup("en-US", (config_dir_ + "/obs-studio").c_str(), nullptr))
		throw std::runtime_error("obs_startup failed");
	obs_audio_info oai = {};
	oai.samples_per_sec = options.samples_per_sec;
	oai.speakers = options.speakers;
	if (!obs_reset_audio(&oai))
		throw std::runtime_error("obs_reset_audio failed");

	const std::string module_path = options.module_path.empty() ? staged_module_path() : options.module_path;
	if (obs_open_module(&module_, module_path.c_str(), data_dir_.c_str()) != MODULE_SUCCESS)
		throw std::runtime_error("obs_open_module failed for " + module_path);
	if (!obs_init_module(module_))
		throw std::runtime_error("obs_init_module failed");
}

ObsHost::~ObsHost()
{
	barrier();
	obs_shutdown();
	unsetenv("XDG_CONFIG_HOME");
}

std::string ObsHost::recordings_dir() const
{
	return config_dir_ + "/obs-brisvane";
}

static void noop_task(void *) {}

void ObsHost::barrier()
{
	// Without video, obs_wait_for_destroy_queue returns at once; a queued task on each
	// thread waits instead. A source's destruction can drop the last reference to another
	// (an uploader lets go of its target), whose own destruction is then queued behind the
	// first wait; obs_shutdown freed libobs's hotkeys while that one still ran (seen under
	// ThreadSanitizer). So wait again, once for each such link.
	for (int pass = 0; pass < 3; ++pass) {
		obs_queue_task(OBS_TASK_AUDIO, noop_task, nullptr, true);
		obs_queue_task(OBS_TASK_DESTROY, noop_task, nullptr, true);
	}
}

namespace {

const char *test_audio_name(void *)
{
	return "Brisvane Test Audio";
}
void *test_audio_create(obs_data_t *, obs_source_t *source)
{
	return source;
}
void test_audio_destroy(void *) {}

void register_test_audio_type()
{
	// Registered afresh after every obs_startup: the host forgets source types at shutdown.
	obs_source_info info = {};
	info.id = "brisvane_test_audio";
	info.type = OBS_SOURCE_TYPE_INPUT;
	info.output_flags = OBS_SOURCE_AUDIO;
	info.get_name = test_audio_name;
	info.create = test_audio_create;
	info.destroy = test_audio_destroy;
	obs_register_source(&info);
}

} // namespace

obs_source_t *create_test_audio_source(const char *name)
{
	if (!obs_source_get_display_name("brisvane_test_audio"))
		register_test_audio_type();
	return obs_source_create("brisvane_test_audio", name, nullptr, nullptr);
}

void push_audio(obs_source_t *source, const float *left, const float *right, uint32_t frames, uint32_t samples_per_sec)
{
	static uint64_t timestamp = 0;
	obs_source_audio audio = {};
	audio.data[0] = reinterpret_cast<const uint8_t *>(left);
	audio.data[1] = reinterpret_cast<const uint8_t *>(right);
	audio.frames = frames;
	audio.speakers = SPEAKERS_STEREO;
	audio.format = AUDIO_FORMAT_FLOAT_PLANAR;
	audio.samples_per_sec = samples_per_sec;
	if (timestamp == 0)
		timestamp = os_gettime_ns();
	audio.timestamp = timestamp;
	timestamp += uint64_t(frames) * 1000000000ull / samples_per_sec;
	obs_source_output_audio(source, &audio);
}

std::vector<float> tone(double freq_hz, double seconds, uint32_t rate, float amplitude)
{
	size_t n = static_cast<size_t>(seconds * rate);
	std::vector<float> out(n, 0.0f);
	if (freq_hz > 0)
		for (size_t i = 0; i < n; ++i)
			out[i] = amplitude * static_cast<float>(std::sin(2.0 * M_PI * freq_hz * double(i) / rate));
	return out;
}

std::vector<float> noise(double seconds, float amplitude)
{
	std::vector<float> out(size_t(seconds * 48000));
	uint32_t state = 12345;
	for (float &x : out) {
		state = state * 1664525u + 1013904223u;
		x = amplitude * (float(state >> 8) / float(1u << 24) * 2.0f - 1.0f);
	}
	return out;
}

namespace {
struct HotkeySearch {
	obs_source_t *source;
	const char *name;
	obs_hotkey_id found;
};
bool find_hotkey(void *param, obs_hotkey_id id, obs_hotkey_t *key)
{
	auto *search = static_cast<HotkeySearch *>(param);
	if (obs_hotkey_get_registerer_type(key) != OBS_HOTKEY_REGISTERER_SOURCE)
		return true;
	auto *weak = static_cast<obs_weak_source_t *>(obs_hotkey_get_registerer(key));
	if (weak && obs_weak_source_references_source(weak, search->source) &&
	    std::string(obs_hotkey_get_name(key)) == search->name) {
		search->found = id;
		return false;
	}
	return true;
}
} // namespace

obs_hotkey_id find_source_hotkey(obs_source_t *source, const char *name)
{
	HotkeySearch search{source, name, OBS_INVALID_HOTKEY_ID};
	obs_enum_hotkeys(find_hotkey, &search);
	return search.found;
}

} // namespace testhost
