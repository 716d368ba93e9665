// SPDX-License-Identifier: GPL-3.0-or-later
// Starts libobs without a window, loads the plug-in from its staged folder and prints what it
// registered: the source type, its default settings and its properties window, then creates
// one instance listening to a demo microphone.
//
//   brisvane-demo --module PATH/obs-brisvane.so --data PATH/data [--model DIR] [--verbose]
#include <obs.h>
#include <util/platform.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct Options {
	std::string module;
	std::string data;
	std::string model;
	bool verbose = false;
};

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
		if (arg == "--verbose") {
			options.verbose = true;
			continue;
		}
		return false;
	}
	return !options.module.empty() && !options.data.empty();
}

// The plug-in's own lines are always shown; the host's only with --verbose.
bool verbose_log = false;
std::mutex log_mutex;

void log_handler(int level, const char *format, va_list args, void *)
{
	char line[4096];
	vsnprintf(line, sizeof(line), format, args);
	bool ours = std::strncmp(line, "[Kavrel Assistant]", 18) == 0 || std::strncmp(line, "[Vosk]", 6) == 0 ||
		    std::strncmp(line, "[Brisvane]", 10) == 0;
	if (!ours && !verbose_log)
		return;
	const char *tag = level <= LOG_ERROR ? "error" : level <= LOG_WARNING ? "warning" : "info";
	std::lock_guard<std::mutex> lock(log_mutex);
	std::printf("  log %-7s %s\n", tag, line);
	std::fflush(stdout);
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

// The data folder handed to OBS: the staged one, plus the model if one was given.
bool prepare_data(const Options &options, const fs::path &data_dir)
{
	std::error_code ec;
	fs::copy(options.data, data_dir, fs::copy_options::recursive, ec);
	if (!ec && !options.model.empty())
		fs::copy(options.model, data_dir / "model", fs::copy_options::recursive, ec);
	if (ec)
		std::fprintf(stderr, "demo: cannot prepare %s: %s\n", data_dir.c_str(), ec.message().c_str());
	return !ec;
}

int run(const Options &options, const fs::path &work)
{
	// Nothing of the user's own OBS configuration is read or written.
	setenv("XDG_CONFIG_HOME", (work / "config").c_str(), 1);
	fs::path data_dir = work / "data";
	if (!prepare_data(options, data_dir))
		return 1;

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
		std::printf("Loaded %s\n", options.module.c_str());
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
		print_properties(uploader);

		obs_source_release(uploader);
		obs_source_release(mic);
		wait_for_host();
	}
	obs_shutdown();
	return status;
}

} // namespace

int main(int argc, char **argv)
{
	Options options;
	if (!parse_options(argc, argv, options)) {
		std::fprintf(stderr,
			     "usage: brisvane-demo --module PATH/obs-brisvane.so --data PATH/data [--model DIR] "
			     "[--verbose]\n");
		return 2;
	}
	verbose_log = options.verbose;

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
