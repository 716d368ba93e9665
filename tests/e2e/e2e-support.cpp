// SPDX-License-Identifier: GPL-3.0-or-later
#include "e2e-support.hpp"

#include <dlfcn.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <thread>

namespace fs = std::filesystem;

namespace e2e {

bool load_ffmpeg()
{
	Dl_info info = {};
	if (!dladdr(reinterpret_cast<void *>(&obs_startup), &info) || !info.dli_fname)
		return false;
	fs::path binary = fs::path(info.dli_fname).parent_path() / "obs-plugins" / "obs-ffmpeg.so";
	obs_module_t *module = nullptr;
	if (!fs::exists(binary) ||
	    obs_open_module(&module, binary.c_str(), "/usr/share/obs/obs-plugins/obs-ffmpeg") != MODULE_SUCCESS)
		return false;
	return obs_init_module(module);
}

obs_source_t *create_uploader(const char *name, const char *target, const std::string &url, obs_key_t key,
			      const std::function<void(obs_data_t *)> &configure)
{
	obs_data_t *settings = obs_data_create();
	obs_data_set_string(settings, "target_source", target);
	obs_data_set_string(settings, "server_url", url.c_str());
	if (configure)
		configure(settings);

	obs_data_t *binding = obs_data_create();
	obs_data_set_string(binding, "key", obs_key_to_name(key));
	obs_data_array_t *bindings = obs_data_array_create();
	obs_data_array_push_back(bindings, binding);
	obs_data_t *hotkeys = obs_data_create();
	obs_data_set_array(hotkeys, "Brisvane.Trigger", bindings);

	obs_source_t *source = obs_source_create("brisvane", name, settings, hotkeys);
	obs_data_release(hotkeys);
	obs_data_array_release(bindings);
	obs_data_release(binding);
	obs_data_release(settings);
	return source;
}

namespace {

// Counts releases of a probe bound to the tapped key, so a tap can wait for libobs to let go.
struct KeyProbe {
	std::mutex mutex;
	std::condition_variable released;
	int releases = 0;

	static void hotkey(void *data, obs_hotkey_id, obs_hotkey_t *, bool pressed)
	{
		if (pressed)
			return;
		auto *self = static_cast<KeyProbe *>(data);
		std::lock_guard<std::mutex> lock(self->mutex);
		++self->releases;
		self->released.notify_all();
	}
};

} // namespace

void tap_key(obs_key_t key)
{
	// libobs lets go of a binding only when its hotkey thread, polling every 25 ms, sees the
	// key up; a second press before that would find the binding still held and do nothing.
	// A fixed pause is not enough on a loaded machine, so wait for a probe on the same key to
	// be released: every binding of that key is let go in the same pass, under libobs's lock.
	KeyProbe probe;
	const obs_hotkey_id id = obs_hotkey_register_frontend("e2e.probe", "e2e probe", KeyProbe::hotkey, &probe);
	obs_key_combination_t combo = {0, key};
	obs_hotkey_load_bindings(id, &combo, 1);

	obs_hotkey_inject_event(combo, true);
	obs_hotkey_inject_event(combo, false);
	{
		std::unique_lock<std::mutex> lock(probe.mutex);
		probe.released.wait_for(lock, std::chrono::seconds(10), [&] { return probe.releases > 0; });
	}
	obs_hotkey_unregister(id);
}

Tap::Tap(obs_source_t *source) : source_(source)
{
	obs_source_add_audio_capture_callback(source_, capture, this);
}

Tap::~Tap()
{
	obs_source_remove_audio_capture_callback(source_, capture, this);
}

void Tap::capture(void *param, obs_source_t *, const audio_data *audio, bool)
{
	auto *self = static_cast<Tap *>(param);
	std::lock_guard<std::mutex> lock(self->mutex_);
	for (uint32_t j = 0; j < audio->frames; ++j)
		for (int k = 0; k < 2; ++k) {
			const float *plane = reinterpret_cast<const float *>(audio->data[k]);
			float x = plane ? plane[j] : 0.0f;
			self->samples_.push_back(int16_t(std::max(-1.0f, std::min(1.0f, x)) * 32767.0f));
		}
}

uint64_t Tap::frames() const
{
	std::lock_guard<std::mutex> lock(mutex_);
	return samples_.size() / 2;
}

std::vector<int16_t> Tap::samples() const
{
	std::lock_guard<std::mutex> lock(mutex_);
	return samples_;
}

std::vector<int16_t> wav_samples(const std::vector<uint8_t> &wav, uint32_t &rate, uint16_t &channels)
{
	receiver::WavInfo info;
	if (!receiver::read_wav_info(wav, info) || info.bits != 16)
		return {};
	rate = info.sample_rate;
	channels = info.channels;
	std::vector<int16_t> out(info.data_bytes / 2);
	std::memcpy(out.data(), wav.data() + 44, out.size() * 2);
	return out;
}

size_t find_slice(const std::vector<int16_t> &whole, const std::vector<int16_t> &part)
{
	auto at = std::search(whole.begin(), whole.end(), part.begin(), part.end());
	return part.empty() || at == whole.end() ? SIZE_MAX : size_t(at - whole.begin());
}

bool wait_for_lines(const std::string &text, size_t n, std::chrono::seconds timeout)
{
	const auto deadline = std::chrono::steady_clock::now() + timeout;
	while (testhost::Log::count(text) < n) {
		if (std::chrono::steady_clock::now() > deadline)
			return false;
		std::this_thread::sleep_for(std::chrono::milliseconds(10));
	}
	return true;
}

std::string saved_path(size_t index)
{
	const std::string prefix = "[Kavrel Assistant] Saved to ";
	// The source's own thread saves the take a moment after the stop.
	wait_for_lines(prefix, index + 1);
	auto lines = testhost::Log::with_prefix(prefix);
	return index < lines.size() ? lines[index].substr(prefix.size()) : std::string();
}

} // namespace e2e
