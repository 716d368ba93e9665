// SPDX-License-Identifier: GPL-3.0-or-later
// Stands in for libvosk where the real one cannot be made to misbehave: an accept call that
// reports an error, and a null result text. The first sample of a chunk scripts the answer:
//   v != 0 and v != 8  accept returns v (so negatives too); 7 makes the final result null
//   8                  accept returns 0 and the partial result is null
//   0 or empty chunk   accept returns 0
// A model path ending in "missing" fails to load.
#include "recognition/vosk-api.h"
#include "vosk-standin.hpp"

#include <atomic>
#include <cstring>
#include <string>

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
} // namespace

STANDIN_EXPORT int standin_accept_calls()
{
	return accept_calls;
}
STANDIN_EXPORT int standin_frees()
{
	return frees;
}

STANDIN_EXPORT VoskModel *vosk_model_new(const char *model_path)
{
	size_t n = std::strlen(model_path);
	if (n >= 7 && std::strcmp(model_path + n - 7, "missing") == 0)
		return nullptr;
	return new VoskModel{0};
}
STANDIN_EXPORT void vosk_model_free(VoskModel *model)
{
	++frees;
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
	recognizer->last = length > 0 ? data[0] : 0;
	++accept_calls;
	return recognizer->last == 8 ? 0 : recognizer->last;
}
STANDIN_EXPORT const char *vosk_recognizer_result(VoskRecognizer *recognizer)
{
	if (recognizer->last == 7)
		return nullptr;
	recognizer->text = "final " + std::to_string(recognizer->last);
	return recognizer->text.c_str();
}
STANDIN_EXPORT const char *vosk_recognizer_partial_result(VoskRecognizer *recognizer)
{
	if (recognizer->last == 8)
		return nullptr;
	recognizer->text = "partial " + std::to_string(recognizer->last);
	return recognizer->text.c_str();
}
STANDIN_EXPORT void vosk_set_log_level(int) {}
