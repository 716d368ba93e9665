// SPDX-License-Identifier: GPL-3.0-or-later
// Drives a source's pipeline the way its host and recogniser would, for tests and benchmarks.
#pragma once

#include "takes/take-pipeline.hpp"

#include <chrono>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace takefeed {

// A recogniser result heard at ring position `position`.
inline RecognitionResult heard(std::string text, uint64_t position, bool final = true,
			       std::vector<HeardWord> words = {})
{
	RecognitionResult r;
	r.text = std::move(text);
	r.position = position;
	r.final = final;
	r.words = std::move(words);
	return r;
}

// A spoken keyword the recogniser places nowhere: it acts where it was heard.
inline void say(TakePipeline &takes, const std::string &word, uint64_t position)
{
	takes.recognition_result(heard(word, position));
}

// Two quiet blocks of no audio: silence ends the running take where the audio ends.
inline void quiet_stop(TakePipeline &takes)
{
	takes.set_silence_stop(true, -40.0f, 0);
	const float *planes[1] = {nullptr};
	takes.audio_block(planes, 1, 0);
	std::this_thread::sleep_for(std::chrono::milliseconds(1));
	takes.audio_block(planes, 1, 0);
}

} // namespace takefeed
