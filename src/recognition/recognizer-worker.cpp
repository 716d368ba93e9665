// SPDX-License-Identifier: GPL-3.0-or-later
#include "recognition/recognizer-worker.hpp"

#include <obs-module.h>

#include <chrono>
#include <exception>

namespace {

// Kaldi writes straight to stderr, not through OBS's log. At 0 it prints a dozen
// informational lines for every model and recogniser; -1 drops those but keeps its
// warnings and errors, which explain a model that fails to load.
constexpr int vosk_log_level = -1;

} // namespace

RecognizerWorker::RecognizerWorker(const std::string &model_path, float rate) : sample_rate(rate)
{
	vosk_set_log_level(vosk_log_level);
	model = vosk_model_new(model_path.c_str());
	if (!model) {
		blog(LOG_ERROR, "[Vosk] Failed to load model from: %s", model_path.c_str());
		return;
	}
	recognizer = vosk_recognizer_new(model, sample_rate);
	blog(LOG_INFO, "[Vosk] Model loaded successfully.");
	// A model without its decoding graph loads, yet nothing can be recognised with it.
	if (!recognizer)
		blog(LOG_ERROR, "[Vosk] Failed to create a recognizer from the model: %s", model_path.c_str());

	running = true;
	try {
		thread = std::thread(&RecognizerWorker::recognition_worker_loop, this);
	} catch (...) {
		// The destructor will not run for a half-built object: free Vosk here.
		running = false;
		release_vosk();
		throw;
	}
}

RecognizerWorker::~RecognizerWorker()
{
	running = false;
	if (thread.joinable()) {
		try {
			thread.join();
		} catch (const std::exception &e) {
			// Only possible from the worker thread itself; freeing Vosk under it is worse.
			blog(LOG_ERROR, "[Vosk] Could not stop the recognition thread: %s", e.what());
			thread.detach();
			return;
		}
	}
	release_vosk();
}

void RecognizerWorker::release_vosk() noexcept
{
	if (recognizer)
		vosk_recognizer_free(recognizer);
	recognizer = nullptr;
	if (model)
		vosk_model_free(model);
	model = nullptr;
}

void RecognizerWorker::push_audio(const AudioChunk &chunk)
{
	std::lock_guard<std::mutex> lock(queue_mutex);
	queue.push_back(chunk);
}

void RecognizerWorker::push_audio(AudioChunk &&chunk)
{
	std::lock_guard<std::mutex> lock(queue_mutex);
	queue.push_back(std::move(chunk));
}

bool RecognizerWorker::take_chunk(AudioChunk &out)
{
	std::lock_guard<std::mutex> lock(queue_mutex);
	if (queue.empty())
		return false;
	out = std::move(queue.front());
	queue.pop_front();
	return true;
}

void RecognizerWorker::recognize(const AudioChunk &chunk)
{
	int ended = vosk_recognizer_accept_waveform_s(recognizer, chunk.data(), static_cast<int>(chunk.size()));
	// A negative value is an error; fetching the final result then resets the decoder.
	const char *text = ended != 0 ? vosk_recognizer_result(recognizer) : vosk_recognizer_partial_result(recognizer);
	if (text && on_result)
		on_result(std::string(text));
}

void RecognizerWorker::recognition_worker_loop()
{
	AudioChunk chunk;
	while (running) {
		try {
			if (!take_chunk(chunk)) {
				std::this_thread::sleep_for(std::chrono::milliseconds(10));
				continue;
			}
			if (recognizer)
				recognize(chunk);
		} catch (const std::exception &e) {
			// An exception leaving this thread would terminate OBS; drop the chunk instead.
			blog(LOG_ERROR, "[Vosk] Recognition failed: %s", e.what());
		} catch (...) {
			blog(LOG_ERROR, "[Vosk] Recognition failed");
		}
		chunk = AudioChunk();
	}
}
