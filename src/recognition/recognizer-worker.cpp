// SPDX-License-Identifier: GPL-3.0-or-later
#include "recognition/recognizer-worker.hpp"

#include "platform/thread-name.hpp"

#include <obs-module.h>

#include <exception>

RecognizerWorker::RecognizerWorker(const AudioRing &ring, const std::string &model_path, float sample_rate,
				   ResultCallback on_result)
    : ring_(ring), model_path_(model_path), sample_rate_(sample_rate), on_result_(std::move(on_result)),
      frames_(new int16_t[size_t(piece_frames) * ring.channels()]), mono_(new int16_t[piece_frames])
{
	model_ = model_cache::acquire(model_path_);
	model_->watch(this);
	// The model may be ready already (another source loaded it): look at once.
	notify();
	try {
		thread_ = std::thread(&RecognizerWorker::run, this);
	} catch (...) {
		model_->unwatch(this);
		throw;
	}
}

RecognizerWorker::~RecognizerWorker()
{
	stopping_ = true;
	wake_.post();
	if (thread_.joinable()) {
		try {
			thread_.join();
		} catch (const std::exception &e) {
			// Only possible from the worker thread itself; freeing Vosk under it is worse.
			blog(LOG_ERROR, "[Vosk] Could not stop the recognition thread: %s", e.what());
			thread_.detach();
			return;
		}
	}
	model_->unwatch(this);
}

void RecognizerWorker::notify() noexcept
{
	// One post per sleep is enough: the worker reads everything new when it wakes.
	if (!pending_.exchange(true))
		wake_.post();
}

void RecognizerWorker::retry_failed_load() noexcept
{
	retry_ = true;
	notify();
}

void RecognizerWorker::run() noexcept
{
	platform::name_this_thread("brisvane-vosk");
	uint64_t position = 0;
	for (;;) {
		wake_.wait();
		pending_ = false;
		if (stopping_)
			break;
		try {
			if (!recognizer_)
				follow_model(position);
			if (recognizer_)
				feed(position);
		} catch (const std::exception &e) {
			// An exception leaving this thread would terminate OBS.
			blog(LOG_ERROR, "[Vosk] Recognition failed: %s", e.what());
		} catch (...) {
			blog(LOG_ERROR, "[Vosk] Recognition failed");
		}
	}
	// The thread that made the recogniser frees it: Vosk's objects never change threads.
	if (recognizer_)
		vosk_recognizer_free(recognizer_);
	recognizer_ = nullptr;
}

void RecognizerWorker::follow_model(uint64_t &position)
{
	if (retry_.exchange(false) && failed_) {
		auto fresh = model_cache::acquire(model_path_);
		model_->unwatch(this);
		model_ = std::move(fresh);
		model_->watch(this);
		failed_ = false;
		model_state_ = ModelState::Loading;
	}
	switch (model_->state()) {
	case SharedModel::State::Loading:
		return;
	case SharedModel::State::Failed:
		if (!failed_)
			blog(LOG_ERROR, "[Vosk] Failed to load model from: %s", model_path_.c_str());
		failed_ = true;
		model_state_ = ModelState::Failed;
		return;
	case SharedModel::State::Ready:
		break;
	}
	if (no_recognizer_)
		return;
	recognizer_ = vosk_recognizer_new(model_->get(), sample_rate_);
	blog(LOG_INFO, "[Vosk] Model loaded successfully.");
	if (!recognizer_) {
		no_recognizer_ = true;
		model_state_ = ModelState::Failed;
		// A model without its decoding graph loads, yet nothing can be recognised with it.
		blog(LOG_ERROR, "[Vosk] Failed to create a recognizer from the model: %s", model_path_.c_str());
		return;
	}
	// What was heard while the model loaded is not recognised.
	position = ring_.end();
	fed_ = 0;
	clock_.ring_offset = position;
	clock_.rate = sample_rate_;
	position_ = position;
	listening_ = true;
	model_state_ = ModelState::Ready;
}

void RecognizerWorker::feed(uint64_t &position)
{
	const uint16_t channels = ring_.channels();
	while (!stopping_) {
		// Whole pieces only, so where results fall does not depend on when the thread woke.
		if (ring_.end() - position < piece_frames)
			return;
		uint64_t from = position;
		const size_t frames = ring_.read(from, frames_.get(), piece_frames);
		if (from > position) {
			if (!behind_) {
				behind_ = true;
				blog(LOG_WARNING, "[Vosk] Recognition fell behind; skipped %.1f s of audio",
				     double(from - position) / double(sample_rate_));
			}
			close_utterance(position);
			clock_.ring_offset = from - fed_;
		}
		position = from + frames;
		for (size_t j = 0; j < frames; ++j)
			mono_[j] = frames_[j * channels];
		try {
			recognize(mono_.get(), frames, position);
		} catch (const std::exception &e) {
			blog(LOG_ERROR, "[Vosk] Recognition failed: %s", e.what());
		} catch (...) {
			blog(LOG_ERROR, "[Vosk] Recognition failed");
		}
		// Caught up: a later skip is news again.
		if (ring_.end() - position < piece_frames)
			behind_ = false;
		position_ = position;
	}
}

void RecognizerWorker::recognize(const int16_t *mono, size_t frames, uint64_t position)
{
	const int ended = vosk_recognizer_accept_waveform_s(recognizer_, mono, static_cast<int>(frames));
	fed_ += frames;
	open_ = true;
	// A negative value is an error; fetching the final result then resets the decoder.
	const bool final = ended != 0;
	deliver(final ? vosk_recognizer_result(recognizer_) : vosk_recognizer_partial_result(recognizer_), final,
		position);
}

void RecognizerWorker::close_utterance(uint64_t position)
{
	if (open_)
		deliver(vosk_recognizer_final_result(recognizer_), true, position);
}

void RecognizerWorker::deliver(const char *json, bool final, uint64_t position)
{
	if (final)
		open_ = false;
	if (!json || !on_result_)
		return;
	parse_recognition_result(json, clock_, result_); // a text it cannot read is heard as nothing
	result_.final = final;
	result_.position = position;
	const bool words = on_result_(result_);
	// Both flags are read on every call: asking for them now changes the next result.
	if (words != words_) {
		words_ = words;
		vosk_recognizer_set_words(recognizer_, words ? 1 : 0);
		vosk_recognizer_set_partial_words(recognizer_, words ? 1 : 0);
	}
}
