// SPDX-License-Identifier: GPL-3.0-or-later
// Throughput of the recogniser worker (ring, thread, callback) with the real libvosk and
// the tone model, beside calling libvosk directly on the same chunks. Not a test.
//   build/bench/recognizer-bench [seconds of audio] [runs]
// Prints "worker <audio s> <wall s> <results>" with the default keywords (word lists asked for
// while an utterance holds one), "worker-plain ..." with keywords never heard (so never word
// lists), "direct <audio s> <wall s> <results>" and "direct-words ..." (word lists throughout).
#include "recognition/keyword-control.hpp"
#include "recognition/recognizer-worker.hpp"
#include "audio/audio-ring.hpp"

#include <obs.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

void quiet_log(int, const char *, va_list, void *) {}

using Chunk = std::vector<int16_t>;

// Keyword tones with pauses, as a talker would give them, in 1024-sample chunks at 48 kHz.
std::vector<Chunk> make_chunks(double seconds)
{
	const uint32_t rate = 48000;
	std::vector<int16_t> all(size_t(seconds * rate));
	for (size_t i = 0; i < all.size(); ++i) {
		const double t = double(i) / rate, phase = std::fmod(t, 3.0);
		const double hz = phase < 0.4 ? 500.0 : (phase >= 1.5 && phase < 1.9) ? 2000.0 : 0.0;
		all[i] = int16_t(hz > 0 ? 12000.0 * std::sin(2 * M_PI * hz * t) : 0.0);
	}
	std::vector<Chunk> chunks;
	for (size_t at = 0; at < all.size(); at += 1024)
		chunks.emplace_back(all.begin() + long(at), all.begin() + long(std::min(all.size(), at + 1024)));
	return chunks;
}

} // namespace

int main(int argc, char **argv)
{
	const double seconds = argc > 1 ? std::atof(argv[1]) : 300.0;
	const int runs = argc > 2 ? std::atoi(argv[2]) : 3;
	base_set_log_handler(quiet_log, nullptr);
	const auto chunks = make_chunks(seconds);

	// The two take turns going first, so neither always meets a colder machine.
	for (int r = 0; r < runs * 4; ++r) {
		const int kind = (r + r / 4) % 4;
		if (kind < 2) {
			// As the pipeline asks: word lists from the first result holding a keyword until
			// the utterance ends.
			const bool plain = kind == 1;
			const char *starts = plain ? "нет" : "старт", *stops = plain ? "никогда" : "стоп";
			bool keyword_open = false;
			// All audio in the ring at once, as a worker that fell behind finds it.
			AudioRing ring(1, uint32_t(chunks.size() * 1024));
			std::atomic<size_t> results{0};
			RecognizerWorker worker(
			    ring, BRISVANE_BENCH_MODEL, 48000.0f, [&](const RecognitionResult &heard) {
				    ++results;
				    keyword_open =
					keyword_open || !find_keyword_occurrences(starts, stops, heard.text).empty();
				    if (heard.final)
					    keyword_open = false;
				    return keyword_open;
			    });
			for (int i = 0; i < 10000 && !worker.listening(); ++i)
				std::this_thread::sleep_for(std::chrono::milliseconds(1));
			if (!worker.listening())
				return 1;
			const auto t0 = Clock::now();
			for (const auto &chunk : chunks)
				ring.write(chunk.data(), uint32_t(chunk.size()));
			worker.notify();
			size_t frames = 0;
			for (const auto &chunk : chunks)
				frames += chunk.size();
			const size_t pieces = frames / RecognizerWorker::piece_frames;
			while (results < pieces)
				std::this_thread::sleep_for(std::chrono::microseconds(200));
			const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
			std::printf("%s %.1f %.3f %zu\n", plain ? "worker-plain" : "worker", seconds, wall,
				    results.load());
		} else {
			VoskModel *model = vosk_model_new(BRISVANE_BENCH_MODEL);
			VoskRecognizer *rec = vosk_recognizer_new(model, 48000.0f);
			const bool words = kind == 3;
			vosk_recognizer_set_words(rec, words);
			vosk_recognizer_set_partial_words(rec, words);
			size_t results = 0, bytes = 0;
			const auto t0 = Clock::now();
			for (const auto &chunk : chunks) {
				const int ended =
				    vosk_recognizer_accept_waveform_s(rec, chunk.data(), int(chunk.size()));
				const char *text =
				    ended ? vosk_recognizer_result(rec) : vosk_recognizer_partial_result(rec);
				// The same copy of the text that the worker hands its callback.
				std::string copy(text);
				bytes += copy.size();
				++results;
			}
			const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
			std::printf("%s %.1f %.3f %zu\n", words ? "direct-words" : "direct", seconds, wall,
				    results + (bytes == 0));
			vosk_recognizer_free(rec);
			vosk_model_free(model);
		}
		std::fflush(stdout);
	}
	return 0;
}
