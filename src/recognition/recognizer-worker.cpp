// SPDX-License-Identifier: GPL-3.0-or-later
// Placeholder: the worker is built in the foundation work.
#include "recognition/recognizer-worker.hpp"

RecognizerWorker::RecognizerWorker(const std::string &, float rate) : sample_rate(rate) {}
RecognizerWorker::~RecognizerWorker() = default;
void RecognizerWorker::push_audio(const AudioChunk &) {}
void RecognizerWorker::recognition_worker_loop() {}
