// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Where one heard word lies in the source's audio, as ring positions.
struct HeardWord {
	uint64_t begin = 0;
	uint64_t end = 0;
};

// One result of the recogniser: a hypothesis of the utterance so far, or its final form.
struct RecognitionResult {
	bool final = false;
	std::string text; // the words heard, separated by single spaces
	// One per word of text when Vosk was asked for word lists; else empty.
	std::vector<HeardWord> words;
	// Ring position just past the audio fed to the recogniser before this result.
	uint64_t position = 0;
};

// Vosk counts word times in seconds of all audio fed to one recogniser; the ring position of
// fed frame n is n + ring_offset (the offset grows when recognition skips audio).
struct FeedClock {
	uint64_t ring_offset = 0;
	double rate = 48000.0;
	uint64_t position(double seconds) const noexcept;
};

// Reads Vosk's JSON: the value of "text" (final) or else "partial", unescaped, and the word
// lists "result" or "partial_result" when they match the text word for word. False, leaving
// text empty, for anything else.
bool parse_recognition_result(const std::string &json, const FeedClock &clock, RecognitionResult &out);
