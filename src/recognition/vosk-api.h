/* SPDX-License-Identifier: GPL-3.0-or-later */
/* The few libvosk C functions we call, declared here instead of shipping Vosk's header. The
 * plug-in loads libvosk at run time (vosk-library.cpp); when it cannot, these calls do nothing
 * and return null or -1. */
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

typedef struct VoskModel VoskModel;
typedef struct VoskRecognizer VoskRecognizer;

VoskModel *vosk_model_new(const char *model_path);
void vosk_model_free(VoskModel *model);
VoskRecognizer *vosk_recognizer_new(VoskModel *model, float sample_rate);
void vosk_recognizer_free(VoskRecognizer *recognizer);
int vosk_recognizer_accept_waveform_s(VoskRecognizer *recognizer, const short *data, int length);
const char *vosk_recognizer_result(VoskRecognizer *recognizer);
const char *vosk_recognizer_partial_result(VoskRecognizer *recognizer);
const char *vosk_recognizer_final_result(VoskRecognizer *recognizer);
void vosk_recognizer_set_words(VoskRecognizer *recognizer, int words);
void vosk_recognizer_set_partial_words(VoskRecognizer *recognizer, int partial_words);
void vosk_set_log_level(int log_level);

#ifdef __cplusplus
}

/* Loads libvosk on the first call (any thread); false, after one error line in the log, when it
 * cannot be loaded. */
bool vosk_library_available();
#endif
