// SPDX-License-Identifier: GPL-3.0-or-later
// Stands in for libvosk where the real one cannot be made to misbehave: an accept call that
// reports an error, a null result text, a slow model and late answers. Texts are Vosk's JSON,
// {"text" : "final v"} or {"partial" : "partial v"}. The first sample of a piece scripts
// the answer:
//   v != 0 and v != 8  accept returns v (so negatives too); 7 makes the final result null
//   8                  accept returns 0 and the partial result is null
//   0 or empty piece   accept returns 0
// A model path ending in "missing" fails to load.
#include "recognition/vosk-api.h"
#include "vosk-standin.hpp"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#define STANDIN_EXPORT extern "C" __attribute__((visibility("default")))

struct VoskModel {
	int unused;
};
struct VoskRecognizer {
	int last;
	std::string text;
};

namespace {

std::atomic<int> accept_calls{0};
std::atomic<int> frees{0};
std::atomic<int> model_loads{0};
std::atomic<int> live_models{0};

int env_ms(const char *name)
{
	const char *value = std::getenv(name);
	return value ? std::atoi(value) : 0;
}

std::atomic<int> load_delay_ms{env_ms("BRISVANE_STANDIN_LOAD_DELAY_MS")};
std::atomic<int> accept_delay_ms{env_ms("BRISVANE_STANDIN_ACCEPT_DELAY_MS")};

// A gate that callers pass only while it is open.
class Gate {
public:
	void set_closed(bool closed)
	{
		std::lock_guard<std::mutex> lock(mutex_);
		closed_ = closed;
		cv_.notify_all();
	}
	void pass()
	{
		std::unique_lock<std::mutex> lock(mutex_);
		cv_.wait(lock, [&] { return !closed_; });
	}

private:
	std::mutex mutex_;
	std::condition_variable cv_;
	bool closed_ = false;
};

Gate load_gate, accept_gate;

void sleep_ms(int ms)
{
	if (ms > 0)
		std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

} // namespace

STANDIN_EXPORT int standin_accept_calls()
{
	return accept_calls;
}
STANDIN_EXPORT int standin_frees()
{
	return frees;
}
STANDIN_EXPORT int standin_model_loads()
{
	return model_loads;
}
STANDIN_EXPORT int standin_live_models()
{
	return live_models;
}
STANDIN_EXPORT void standin_set_load_delay_ms(int ms)
{
	load_delay_ms = ms;
}
STANDIN_EXPORT void standin_hold_loads(bool hold)
{
	load_gate.set_closed(hold);
}
STANDIN_EXPORT void standin_set_accept_delay_ms(int ms)
{
	accept_delay_ms = ms;
}
STANDIN_EXPORT void standin_hold_accepts(bool hold)
{
	accept_gate.set_closed(hold);
}

STANDIN_EXPORT VoskModel *vosk_model_new(const char *model_path)
{
	++model_loads;
	sleep_ms(load_delay_ms);
	load_gate.pass();
	size_t n = std::strlen(model_path);
	if (n >= 7 && std::strcmp(model_path + n - 7, "missing") == 0)
		return nullptr;
	++live_models;
	return new VoskModel{0};
}
STANDIN_EXPORT void vosk_model_free(VoskModel *model)
{
	++frees;
	--live_models;
	delete model;
}
STANDIN_EXPORT VoskRecognizer *vosk_recognizer_new(VoskModel *, float)
{
	return new VoskRecognizer{0, {}};
}
STANDIN_EXPORT void vosk_recognizer_free(VoskRecognizer *recognizer)
{
	++frees;
	delete recognizer;
}
STANDIN_EXPORT int vosk_recognizer_accept_waveform_s(VoskRecognizer *recognizer, const short *data, int length)
{
	++accept_calls;
	sleep_ms(accept_delay_ms);
	accept_gate.pass();
	recognizer->last = length > 0 ? data[0] : 0;
	return recognizer->last == 8 ? 0 : recognizer->last;
}
STANDIN_EXPORT const char *vosk_recognizer_result(VoskRecognizer *recognizer)
{
	if (recognizer->last == 7)
		return nullptr;
	recognizer->text = "{\"text\" : \"final " + std::to_string(recognizer->last) + "\"}";
	return recognizer->text.c_str();
}
STANDIN_EXPORT const char *vosk_recognizer_partial_result(VoskRecognizer *recognizer)
{
	if (recognizer->last == 8)
		return nullptr;
	recognizer->text = "{\"partial\" : \"partial " + std::to_string(recognizer->last) + "\"}";
	return recognizer->text.c_str();
}
STANDIN_EXPORT const char *vosk_recognizer_final_result(VoskRecognizer *recognizer)
{
	recognizer->text = "{\"text\" : \"\"}";
	return recognizer->text.c_str();
}
STANDIN_EXPORT void vosk_recognizer_set_words(VoskRecognizer *, int) {}
STANDIN_EXPORT void vosk_recognizer_set_partial_words(VoskRecognizer *, int) {}
STANDIN_EXPORT void vosk_set_log_level(int) {}
