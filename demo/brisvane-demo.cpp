// SPDX-License-Identifier: GPL-3.0-or-later
// Runs the plug-in's whole job in libobs without a window: an ffmpeg_source plays a recording,
// a "Kavrel Assistant Uploader" source listens to it, keywords (and a hotkey bound to F9,
// pressed through libobs's key event path) make takes, and the takes are posted to a loopback
// receiver of ours, or to the given server. Prints the plug-in's log lines as OBS writes them
// and a summary of what was uploaded.
//
//   brisvane-demo --module PATH/obs-brisvane.so --data PATH/data --input FILE [--model DIR]
//                 [--server URL] [--keywords LIST] [--stop-keywords LIST] [--hotkey-at S,S...]
//                 [--registration] [--verbose]
#include "receiver.hpp"

#include <obs.h>
#include <util/platform.h>

#include <dlfcn.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct Options {
	std::string module;
	std::string data;
	std::string model;
	std::string input;
	std::string server;
	std::string keywords;
	std::string stop_keywords;
	bool set_keywords = false;
	bool set_stop_keywords = false;
	std::vector<double> hotkey_at; // seconds into the recording
	bool registration = false;
	bool verbose = false;
};

bool parse_times(const std::string &list, std::vector<double> &out)
{
	std::stringstream in(list);
	std::string item;
	while (std::getline(in, item, ',')) {
		char *end = nullptr;
		double t = std::strtod(item.c_str(), &end);
		if (end == item.c_str() || *end || t < 0)
			return false;
		out.push_back(t);
	}
	std::sort(out.begin(), out.end());
	return true;
}

bool parse_options(int argc, char **argv, Options &options)
{
	for (int i = 1; i < argc; ++i) {
		std::string arg = argv[i];
		auto value = [&](std::string &out) {
			if (i + 1 >= argc)
				return false;
			out = argv[++i];
			return true;
		};
		if (arg == "--module" && value(options.module))
			continue;
		if (arg == "--data" && value(options.data))
			continue;
		if (arg == "--model" && value(options.model))
			continue;
		if (arg == "--input" && value(options.input))
			continue;
		if (arg == "--server" && value(options.server))
			continue;
		if (arg == "--keywords" && value(options.keywords)) {
			options.set_keywords = true;
			continue;
		}
		if (arg == "--stop-keywords" && value(options.stop_keywords)) {
			options.set_stop_keywords = true;
			continue;
		}
		std::string times;
		if (arg == "--hotkey-at" && value(times) && parse_times(times, options.hotkey_at))
			continue;
		if (arg == "--registration") {
			options.registration = true;
			continue;
		}
		if (arg == "--verbose") {
			options.verbose = true;
			continue;
		}
		return false;
	}
	return !options.module.empty() && !options.data.empty();
}

// Everything the demo prints goes through here: the plug-in's log lines, the receiver's
// lines and the demo's own, each stamped with the time since the recording began to play.
// Runs of one repeated line (a keyword heard in every partial result) are folded.
class Console {
public:
	void start_clock() { start_ns_ = os_gettime_ns(); }
	void line(const std::string &text)
	{
		std::lock_guard<std::mutex> lock(mutex_);
		if (text == last_) {
			++repeats_;
			return;
		}
		flush_repeats();
		uint64_t start = start_ns_;
		if (start)
			std::printf("  %6.2f s  %s\n", double(os_gettime_ns() - start) / 1e9, text.c_str());
		else
			std::printf("            %s\n", text.c_str());
		std::fflush(stdout);
		last_ = text;
	}
	void flush()
	{
		std::lock_guard<std::mutex> lock(mutex_);
		flush_repeats();
		last_.clear();
	}

private:
	void flush_repeats()
	{
		if (repeats_)
			std::printf("            (the line above %zu more time%s)\n", repeats_,
				    repeats_ == 1 ? "" : "s");
		repeats_ = 0;
	}
	std::mutex mutex_;
	std::string last_;
	size_t repeats_ = 0;
	std::atomic<uint64_t> start_ns_{0};
};
Console console;

// The plug-in's lines, kept to tell when its uploads have ended.
std::mutex plugin_lines_mutex;
std::vector<std::string> plugin_lines;
std::atomic<uint64_t> last_plugin_line_ns{0};
bool verbose_log = false;

bool is_plugin_line(const char *line)
{
	return std::strncmp(line, "[Kavrel Assistant]", 18) == 0 || std::strncmp(line, "[Vosk]", 6) == 0 ||
	       std::strncmp(line, "[Brisvane]", 10) == 0;
}

// The plug-in's own lines are always shown; the host's only with --verbose.
void log_handler(int level, const char *format, va_list args, void *)
{
	char line[4096];
	vsnprintf(line, sizeof(line), format, args);
	bool ours = is_plugin_line(line);
	if (ours) {
		std::lock_guard<std::mutex> lock(plugin_lines_mutex);
		plugin_lines.emplace_back(line);
		last_plugin_line_ns = os_gettime_ns();
	}
	if (!ours && !verbose_log)
		return;
	const char *tag = level <= LOG_ERROR ? "error: " : level <= LOG_WARNING ? "warning: " : "";
	console.line(std::string(tag) + line);
}

size_t count_plugin_lines(const char *text)
{
	std::lock_guard<std::mutex> lock(plugin_lines_mutex);
	return size_t(std::count_if(plugin_lines.begin(), plugin_lines.end(),
				    [&](const std::string &l) { return l.find(text) != std::string::npos; }));
}

std::vector<std::string> plugin_lines_with(const char *text)
{
	std::lock_guard<std::mutex> lock(plugin_lines_mutex);
	std::vector<std::string> out;
	for (const auto &l : plugin_lines)
		if (l.find(text) != std::string::npos)
			out.push_back(l);
	return out;
}

// Every upload logs one of the first lines when it begins and one of the second when it
// is over, whichever way it ends.
size_t uploads_begun()
{
	return count_plugin_lines("[Brisvane] Uploading to Host") +
	       count_plugin_lines("[Brisvane] No URL configured.") +
	       count_plugin_lines("[Brisvane] Invalid port in URL") +
	       count_plugin_lines("[Brisvane] Could not start upload");
}

size_t uploads_ended()
{
	return count_plugin_lines("[Brisvane] Temporary file deleted") + count_plugin_lines("file kept") +
	       count_plugin_lines("[Brisvane] Failed to open file") +
	       count_plugin_lines("[Brisvane] Failed to read file.") +
	       count_plugin_lines("[Brisvane] No URL configured.") +
	       count_plugin_lines("[Brisvane] Invalid port in URL");
}

// A stand-in for a microphone, so the properties window has an audio source to offer.
const char *mic_name(void *)
{
	return "Demo Microphone";
}
void *mic_create(obs_data_t *, obs_source_t *source)
{
	return source;
}
void mic_destroy(void *) {}

void register_demo_microphone()
{
	obs_source_info info = {};
	info.id = "brisvane_demo_microphone";
	info.type = OBS_SOURCE_TYPE_INPUT;
	info.output_flags = OBS_SOURCE_AUDIO;
	info.get_name = mic_name;
	info.create = mic_create;
	info.destroy = mic_destroy;
	obs_register_source(&info);
}

const char *property_kind(obs_property_t *p)
{
	switch (obs_property_get_type(p)) {
	case OBS_PROPERTY_BOOL:
		return "check box";
	case OBS_PROPERTY_INT:
		return "integer";
	case OBS_PROPERTY_FLOAT:
		return "slider";
	case OBS_PROPERTY_TEXT:
		return "text";
	case OBS_PROPERTY_LIST:
		return "list";
	default:
		return "other";
	}
}

void print_defaults(const char *id)
{
	obs_data_t *defaults = obs_get_source_defaults(id);
	std::printf("Default settings:\n");
	for (obs_data_item_t *item = obs_data_first(defaults); item; obs_data_item_next(&item)) {
		const char *name = obs_data_item_get_name(item);
		switch (obs_data_item_gettype(item)) {
		case OBS_DATA_STRING:
			std::printf("  %-22s \"%s\"\n", name, obs_data_item_get_default_string(item));
			break;
		case OBS_DATA_BOOLEAN:
			std::printf("  %-22s %s\n", name, obs_data_item_get_default_bool(item) ? "true" : "false");
			break;
		case OBS_DATA_NUMBER:
			if (obs_data_item_numtype(item) == OBS_DATA_NUM_INT)
				std::printf("  %-22s %lld\n", name, obs_data_item_get_default_int(item));
			else
				std::printf("  %-22s %g\n", name, obs_data_item_get_default_double(item));
			break;
		default:
			std::printf("  %-22s (other)\n", name);
		}
	}
	obs_data_release(defaults);
}

void print_properties(obs_source_t *source)
{
	obs_properties_t *props = obs_source_properties(source);
	std::printf("Properties window:\n");
	int n = 0;
	for (obs_property_t *p = obs_properties_first(props); p; obs_property_next(&p)) {
		std::printf("  %d. %-22s %-9s \"%s\"", ++n, obs_property_name(p), property_kind(p),
			    obs_property_description(p));
		if (obs_property_get_type(p) == OBS_PROPERTY_FLOAT)
			std::printf("  %g..%g step %g", obs_property_float_min(p), obs_property_float_max(p),
				    obs_property_float_step(p));
		if (obs_property_get_type(p) == OBS_PROPERTY_INT)
			std::printf("  %d..%d step %d", obs_property_int_min(p), obs_property_int_max(p),
				    obs_property_int_step(p));
		if (obs_property_get_type(p) == OBS_PROPERTY_LIST) {
			std::printf("  items:");
			for (size_t i = 0; i < obs_property_list_item_count(p); ++i)
				std::printf(" \"%s\"", obs_property_list_item_string(p, i));
		}
		std::printf("\n");
	}
	obs_properties_destroy(props);
}

void noop_task(void *) {}

// Without video, libobs has no destroy barrier of its own: queue a task on each thread.
void wait_for_host()
{
	obs_queue_task(OBS_TASK_AUDIO, noop_task, nullptr, true);
	obs_queue_task(OBS_TASK_DESTROY, noop_task, nullptr, true);
}

// The data folder handed to OBS: the staged one, plus the model (linked: real ones are big).
bool prepare_data(const Options &options, const fs::path &data_dir)
{
	std::error_code ec;
	fs::copy(options.data, data_dir, fs::copy_options::recursive, ec);
	if (!ec && !options.model.empty()) {
		fs::remove_all(data_dir / "model", ec);
		fs::create_directory_symlink(fs::absolute(options.model), data_dir / "model", ec);
	}
	if (ec)
		std::fprintf(stderr, "demo: cannot prepare %s: %s\n", data_dir.c_str(), ec.message().c_str());
	return !ec;
}

// OBS's own media source lives in obs-ffmpeg, a plug-in installed beside libobs.
bool load_ffmpeg_plugin()
{
	Dl_info info = {};
	if (!dladdr(reinterpret_cast<void *>(&obs_startup), &info) || !info.dli_fname)
		return false;
	fs::path libdir = fs::path(info.dli_fname).parent_path();
	fs::path binary = libdir / "obs-plugins" / "obs-ffmpeg.so";
	fs::path data = "/usr/share/obs/obs-plugins/obs-ffmpeg";
	for (fs::path prefix = libdir; prefix.has_relative_path(); prefix = prefix.parent_path())
		if (fs::exists(prefix / "share/obs/obs-plugins/obs-ffmpeg")) {
			data = prefix / "share/obs/obs-plugins/obs-ffmpeg";
			break;
		}
	obs_module_t *module = nullptr;
	if (!fs::exists(binary) || obs_open_module(&module, binary.c_str(), data.c_str()) != MODULE_SUCCESS)
		return false;
	return obs_init_module(module);
}

// Frames of the recording that OBS has delivered so far: the demo's clock for the hotkey.
std::atomic<uint64_t> frames_played{0};

void count_frames(void *, obs_source_t *, const audio_data *audio, bool)
{
	frames_played += audio->frames;
}

std::string describe_wav(const receiver::Upload &upload)
{
	char text[256];
	receiver::WavInfo wav;
	if (receiver::read_wav_info(upload.content, wav))
		std::snprintf(text, sizeof(text), "%6.2f s  %9zu bytes  (%u Hz, %u channels)", wav.seconds(),
			      upload.content.size(), wav.sample_rate, unsigned(wav.channels));
	else
		std::snprintf(text, sizeof(text), "%9zu bytes, not a PCM WAV", upload.content.size());
	return text;
}

obs_source_t *create_listener(const Options &options, const std::string &url)
{
	obs_data_t *settings = obs_data_create();
	obs_data_set_string(settings, "server_url", url.c_str());
	obs_data_set_string(settings, "target_source", "Demo Recording");
	if (options.set_keywords)
		obs_data_set_string(settings, "start_keywords", options.keywords.c_str());
	if (options.set_stop_keywords)
		obs_data_set_string(settings, "stop_keywords", options.stop_keywords.c_str());
	obs_data_set_bool(settings, "enable_silence_stop", true);
	obs_data_set_double(settings, "silence_threshold_db", -40.0);
	obs_data_set_int(settings, "silence_duration_ms", 2000);

	// F9 is bound the way OBS stores bindings in a scene collection.
	obs_data_t *hotkeys = obs_data_create();
	obs_data_array_t *bindings = obs_data_array_create();
	obs_data_t *f9 = obs_data_create();
	obs_data_set_string(f9, "key", "OBS_KEY_F9");
	obs_data_array_push_back(bindings, f9);
	obs_data_set_array(hotkeys, "Brisvane.Trigger", bindings);

	obs_source_t *source = obs_source_create("brisvane", "Kavrel Assistant", settings, hotkeys);
	obs_data_release(f9);
	obs_data_array_release(bindings);
	obs_data_release(hotkeys);
	obs_data_release(settings);
	return source;
}

void press_f9()
{
	obs_key_combination_t f9 = {0, OBS_KEY_F9};
	obs_hotkey_inject_event(f9, true);
	obs_hotkey_inject_event(f9, false);
}

// Plays the recording to its end, pressing F9 at the given times, then waits for the
// uploads that the takes started. Returns false when something did not finish.
bool play(const Options &options, obs_source_t *player)
{
	const uint32_t rate = audio_output_get_sample_rate(obs_get_audio());
	size_t next_press = 0;
	const auto begin = std::chrono::steady_clock::now();
	const auto elapsed = [&] { return std::chrono::steady_clock::now() - begin; };
	for (;;) {
		std::this_thread::sleep_for(std::chrono::milliseconds(5));
		double position = double(frames_played.load()) / rate;
		if (next_press < options.hotkey_at.size() && position >= options.hotkey_at[next_press]) {
			console.line("demo: pressing F9, bound to the source's hotkey \"Start/Stop Upload\"");
			press_f9();
			++next_press;
		}
		obs_media_state state = obs_source_media_get_state(player);
		if (state == OBS_MEDIA_STATE_ENDED || state == OBS_MEDIA_STATE_ERROR)
			break;
		if (elapsed() > std::chrono::hours(2) ||
		    (elapsed() > std::chrono::seconds(10) && frames_played.load() == 0)) {
			console.line("demo: the recording did not play");
			obs_source_remove_audio_capture_callback(player, count_frames, nullptr);
			return false;
		}
	}
	obs_source_remove_audio_capture_callback(player, count_frames, nullptr);
	char end[160];
	std::snprintf(end, sizeof(end), "demo: end of the recording (%.2f s played); waiting for the uploads to finish",
		      double(frames_played.load()) / rate);
	console.line(end);

	// Done once every upload begun has ended and the plug-in has been quiet for a moment.
	const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(90);
	while (std::chrono::steady_clock::now() < deadline) {
		std::this_thread::sleep_for(std::chrono::milliseconds(50));
		bool quiet = os_gettime_ns() - last_plugin_line_ns.load() > 1500000000ull;
		if (quiet && uploads_ended() >= uploads_begun())
			return true;
	}
	console.line("demo: some uploads did not finish in time");
	return false;
}

void print_registration()
{
	std::printf("Source type: id \"brisvane\", name \"%s\", output flags 0x%x\n",
		    obs_source_get_display_name("brisvane"), obs_get_source_output_flags("brisvane"));
	print_defaults("brisvane");
	register_demo_microphone();
	obs_source_t *mic = obs_source_create("brisvane_demo_microphone", "Demo Microphone", nullptr, nullptr);
	obs_data_t *settings = obs_data_create();
	obs_data_set_string(settings, "target_source", "Demo Microphone");
	std::printf("Creating \"Uploader\" listening to \"Demo Microphone\":\n");
	obs_source_t *uploader = obs_source_create("brisvane", "Uploader", settings, nullptr);
	obs_data_release(settings);
	console.flush();
	print_properties(uploader);
	obs_source_release(uploader);
	obs_source_release(mic);
	wait_for_host();
	console.flush();
}

// What was uploaded and whether the local files are gone. Returns false on any shortfall.
bool summarise(const Options &options, const receiver::Receiver *local, const fs::path &recordings)
{
	bool ok = true;
	std::printf("\nSummary\n");
	if (local) {
		auto uploads = local->uploads();
		std::printf("  uploads received by the local receiver: %zu\n", uploads.size());
		for (const auto &u : uploads) {
			std::printf("    %-28s %s\n", u.file_name.c_str(), describe_wav(u).c_str());
			ok = ok && u.well_formed;
		}
		ok = ok && !uploads.empty() && uploads.size() == uploads_begun();
	} else {
		auto done = plugin_lines_with("[Brisvane] Upload complete. Status:");
		std::string statuses;
		for (const auto &line : done)
			statuses += (statuses.empty() ? "" : ", ") + line.substr(line.rfind(' ') + 1);
		std::printf("  uploads answered by %s: %zu (status %s)\n", options.server.c_str(), done.size(),
			    statuses.c_str());
		for (const auto &line : plugin_lines_with("[Brisvane] Temporary file deleted: "))
			std::printf("    %s\n", fs::path(line.substr(line.find(": ") + 2)).filename().c_str());
		ok = ok && !done.empty();
	}
	std::vector<std::string> left;
	std::error_code ec;
	for (fs::directory_iterator it(recordings, ec), end; !ec && it != end; it.increment(ec))
		left.push_back(it->path().filename().string());
	size_t saved = uploads_begun();
	if (left.empty())
		std::printf("  local recordings: %zu written, all deleted after their upload (%s is empty)\n", saved,
			    recordings.c_str());
	else {
		std::printf("  local recordings still on disk in %s:\n", recordings.c_str());
		for (const auto &name : left)
			std::printf("    %s\n", name.c_str());
		ok = false;
	}
	return ok;
}

int run(const Options &options, const fs::path &work)
{
	// Nothing of the user's own OBS configuration is read or written.
	setenv("XDG_CONFIG_HOME", (work / "config").c_str(), 1);
	fs::path data_dir = work / "data";
	if (!prepare_data(options, data_dir))
		return 1;

	std::unique_ptr<receiver::Receiver> local;
	std::string url = options.server;
	if (url.empty() && !options.input.empty()) {
		try {
			local = std::make_unique<receiver::Receiver>((work / "received").string());
		} catch (const std::exception &e) {
			std::fprintf(stderr, "demo: %s\n", e.what());
			return 1;
		}
		url = local->url();
		local->on_upload([](const receiver::Upload &u) {
			console.line("receiver: received " + u.file_name + ": " + describe_wav(u));
		});
		std::printf("Local upload receiver listening on %s\n", url.c_str());
	}

	base_set_log_handler(log_handler, nullptr);
	if (!obs_startup("en-US", (work / "config" / "obs-studio").c_str(), nullptr)) {
		std::fprintf(stderr, "demo: obs_startup failed (is there an X display?)\n");
		return 1;
	}
	obs_audio_info audio = {};
	audio.samples_per_sec = 48000;
	audio.speakers = SPEAKERS_STEREO;
	obs_reset_audio(&audio);

	int status = 0;
	obs_module_t *module = nullptr;
	if (obs_open_module(&module, options.module.c_str(), data_dir.c_str()) != MODULE_SUCCESS ||
	    !obs_init_module(module)) {
		std::fprintf(stderr, "demo: could not load %s\n", options.module.c_str());
		status = 1;
	} else {
		std::printf("Loaded %s into a headless OBS (libobs %s)\n", options.module.c_str(),
			    obs_get_version_string());
		std::printf("Model: %s\n", options.model.empty() ? "none" : options.model.c_str());
		if (options.registration)
			print_registration();
		if (!options.input.empty() && !load_ffmpeg_plugin()) {
			std::fprintf(stderr,
				     "demo: OBS's media source (obs-ffmpeg, Debian package obs-studio) is missing\n");
			status = 1;
		}
	}
	if (status != 0 || options.input.empty()) {
		obs_shutdown();
		return status;
	}
	// The player starts at once (libobs applies later changes to it only on a video thread,
	// which this host doesn't run); the recording opens with quiet, so nothing is missed.
	obs_data_t *player_settings = obs_data_create();
	obs_data_set_string(player_settings, "local_file", options.input.c_str());
	obs_data_set_bool(player_settings, "is_local_file", true);
	obs_data_set_bool(player_settings, "looping", false);
	obs_data_set_bool(player_settings, "restart_on_activate", false);
	obs_data_set_bool(player_settings, "close_when_inactive", false);
	std::printf("Sources: \"Demo Recording\" (ffmpeg_source) playing %s, and \"Kavrel Assistant\" "
		    "listening to it\n\n",
		    fs::path(options.input).filename().c_str());
	console.start_clock();
	obs_source_t *player = obs_source_create("ffmpeg_source", "Demo Recording", player_settings, nullptr);
	obs_source_add_audio_capture_callback(player, count_frames, nullptr);
	obs_data_release(player_settings);
	obs_source_t *listener = create_listener(options, url);
	if (!play(options, player))
		status = 1;
	console.flush();

	obs_source_release(listener);
	obs_source_release(player);
	wait_for_host();
	if (!summarise(options, local.get(), work / "config" / "obs-brisvane"))
		status = 1;
	obs_shutdown();
	return status;
}

} // namespace

int main(int argc, char **argv)
{
	Options options;
	if (!parse_options(argc, argv, options)) {
		std::fprintf(
		    stderr,
		    "usage: brisvane-demo --module PATH/obs-brisvane.so --data PATH/data --input FILE\n"
		    "                     [--model DIR] [--server URL] [--keywords LIST] [--stop-keywords LIST]\n"
		    "                     [--hotkey-at SECONDS,...] [--registration] [--verbose]\n");
		return 2;
	}
	verbose_log = options.verbose;
	// Without a recording the demo only shows what the plug-in registers.
	if (options.input.empty())
		options.registration = true;
	else if (!fs::exists(options.input)) {
		std::fprintf(stderr, "demo: no such recording: %s\n", options.input.c_str());
		return 2;
	} else
		options.input = fs::absolute(options.input).string();

	std::string pattern = (fs::temp_directory_path() / "brisvane-demo-XXXXXX").string();
	if (!mkdtemp(pattern.data())) {
		std::perror("demo: mkdtemp");
		return 1;
	}
	int status = run(options, pattern);
	std::error_code ec;
	fs::remove_all(pattern, ec);
	return status;
}
