// SPDX-License-Identifier: GPL-3.0-or-later
// Copies one take's audio from the source's ring into its file, on the source's own thread.
// The take holds only frames between its start and its end, in order, none twice: when the
// writer falls further behind than the ring holds, what was lost is left out and counted.
#pragma once

#include "audio/audio-ring.hpp"
#include "store/take-file.hpp"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// Most 16-bit values one take keeps (never more than a WAV header can state). Process-wide;
// tests lower it.
uint64_t &recording_sample_limit();

class TakeWriter {
public:
	explicit TakeWriter(const AudioRing &ring);
	TakeWriter(const TakeWriter &) = delete;
	TakeWriter &operator=(const TakeWriter &) = delete;

	bool active() const noexcept { return active_; }
	const std::string &dir() const noexcept { return dir_; }
	TakeFile &file() noexcept { return file_; }

	// A take whose audio begins at ring position `start`: creates its file in dir (a file that
	// cannot be created leaves the take to be reported when it ends).
	void begin(uint64_t start, uint32_t sample_rate, int64_t started_seconds, const std::string &dir,
		   const TakeServer &server);
	// Writes the ring's audio up to `until` (no further than what the ring holds), cutting back
	// what was written past it; brings the header up to date at least twice a second.
	void pump(uint64_t until, bool force_header);
	// 16-bit values of a take ending at `end`, as far as a WAV file holds them.
	size_t values(uint64_t end) const noexcept;
	// The take is over; its file is the caller's to finish or discard.
	void close() noexcept { active_ = false; }

private:
	struct Gap {
		uint64_t from, to; // ring positions the ring no longer held when their turn came
	};
	void cut_back(uint64_t until);

	const AudioRing &ring_;
	std::unique_ptr<int16_t[]> copy_;
	TakeFile file_;
	bool active_ = false;
	uint64_t start_ = 0;
	uint64_t read_ = 0; // next ring position to write
	uint64_t lost_ = 0;
	std::vector<Gap> gaps_;
	uint32_t sample_rate_ = 0;
	bool full_ = false;
	bool gap_logged_ = false;
	bool create_failed_ = false;
	uint64_t last_header_ns_ = 0;
	std::string dir_;
};
