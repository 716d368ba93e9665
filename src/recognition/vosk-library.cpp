// SPDX-License-Identifier: GPL-3.0-or-later
// libvosk is loaded when first needed, from the plug-in's own folder, instead of being linked:
// without it the plug-in still loads and works by hotkey. The functions of vosk-api.h forward
// to the ones looked up in it. They stay inside our module (hidden), so they never stand in
// for libvosk's own exports.
#include "recognition/vosk-api.h"

#include "platform/library.hpp"

#include <util/base.h>

#include <string>

#ifdef _WIN32
#define BRISVANE_HIDDEN
#else
#define BRISVANE_HIDDEN __attribute__((visibility("hidden")))
#endif

namespace {

#ifdef _WIN32
constexpr const char *library_file = "libvosk.dll";
#else
constexpr const char *library_file = "libvosk.so";
#endif

struct VoskFunctions {
	bool loaded = false;
	decltype(&vosk_model_new) model_new = nullptr;
	decltype(&vosk_model_free) model_free = nullptr;
	decltype(&vosk_recognizer_new) recognizer_new = nullptr;
	decltype(&vosk_recognizer_free) recognizer_free = nullptr;
	decltype(&vosk_recognizer_accept_waveform_s) accept_waveform_s = nullptr;
	decltype(&vosk_recognizer_result) result = nullptr;
	decltype(&vosk_recognizer_partial_result) partial_result = nullptr;
	decltype(&vosk_recognizer_final_result) final_result = nullptr;
	decltype(&vosk_recognizer_set_words) set_words = nullptr;
	decltype(&vosk_recognizer_set_partial_words) set_partial_words = nullptr;
	decltype(&vosk_set_log_level) set_log_level = nullptr;
};

template<typename F> bool look_up(void *library, const char *name, F &out, std::string &error)
{
	out = reinterpret_cast<F>(platform::library_function(library, name, error));
	return out != nullptr;
}

VoskFunctions load()
{
	VoskFunctions f;
	std::string error;
	void *library = platform::load_private_library(library_file, error);
	// All or nothing: a library missing one function is not the one we were built for.
	f.loaded = library && look_up(library, "vosk_model_new", f.model_new, error) &&
		   look_up(library, "vosk_model_free", f.model_free, error) &&
		   look_up(library, "vosk_recognizer_new", f.recognizer_new, error) &&
		   look_up(library, "vosk_recognizer_free", f.recognizer_free, error) &&
		   look_up(library, "vosk_recognizer_accept_waveform_s", f.accept_waveform_s, error) &&
		   look_up(library, "vosk_recognizer_result", f.result, error) &&
		   look_up(library, "vosk_recognizer_partial_result", f.partial_result, error) &&
		   look_up(library, "vosk_recognizer_final_result", f.final_result, error) &&
		   look_up(library, "vosk_recognizer_set_words", f.set_words, error) &&
		   look_up(library, "vosk_recognizer_set_partial_words", f.set_partial_words, error) &&
		   look_up(library, "vosk_set_log_level", f.set_log_level, error);
	if (!f.loaded) {
		f = VoskFunctions{};
		blog(LOG_ERROR, "[Vosk] Failed to load the speech library: %s", error.c_str());
	}
	return f;
}

// One attempt per process (a missing file does not appear while OBS runs), so the failure
// is logged once; the library is never unloaded, as results may outlive the plug-in's unload.
const VoskFunctions &vosk()
{
	static const VoskFunctions functions = load();
	return functions;
}

} // namespace

bool vosk_library_available()
{
	return vosk().loaded;
}

extern "C" {

BRISVANE_HIDDEN VoskModel *vosk_model_new(const char *model_path)
{
	return vosk().loaded ? vosk().model_new(model_path) : nullptr;
}

BRISVANE_HIDDEN void vosk_model_free(VoskModel *model)
{
	if (vosk().loaded)
		vosk().model_free(model);
}

BRISVANE_HIDDEN VoskRecognizer *vosk_recognizer_new(VoskModel *model, float sample_rate)
{
	return vosk().loaded ? vosk().recognizer_new(model, sample_rate) : nullptr;
}

BRISVANE_HIDDEN void vosk_recognizer_free(VoskRecognizer *recognizer)
{
	if (vosk().loaded)
		vosk().recognizer_free(recognizer);
}

BRISVANE_HIDDEN int vosk_recognizer_accept_waveform_s(VoskRecognizer *recognizer, const short *data, int length)
{
	return vosk().loaded ? vosk().accept_waveform_s(recognizer, data, length) : -1;
}

BRISVANE_HIDDEN const char *vosk_recognizer_result(VoskRecognizer *recognizer)
{
	return vosk().loaded ? vosk().result(recognizer) : nullptr;
}

BRISVANE_HIDDEN const char *vosk_recognizer_partial_result(VoskRecognizer *recognizer)
{
	return vosk().loaded ? vosk().partial_result(recognizer) : nullptr;
}

BRISVANE_HIDDEN const char *vosk_recognizer_final_result(VoskRecognizer *recognizer)
{
	return vosk().loaded ? vosk().final_result(recognizer) : nullptr;
}

BRISVANE_HIDDEN void vosk_recognizer_set_words(VoskRecognizer *recognizer, int words)
{
	if (vosk().loaded)
		vosk().set_words(recognizer, words);
}

BRISVANE_HIDDEN void vosk_recognizer_set_partial_words(VoskRecognizer *recognizer, int partial_words)
{
	if (vosk().loaded)
		vosk().set_partial_words(recognizer, partial_words);
}

BRISVANE_HIDDEN void vosk_set_log_level(int log_level)
{
	if (vosk().loaded)
		vosk().set_log_level(log_level);
}

} // extern "C"
