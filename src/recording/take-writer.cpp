// SPDX-License-Identifier: GPL-3.0-or-later
#include "recording/take-writer.hpp"

#include "store/wav-header.hpp"

#include <obs-module.h>
#include <util/platform.h>

#include <algorithm>

namespace {

// Frames copied out of the ring at a time: the audio thread may wait for one such copy.
constexpr size_t copy_frames = 4096;
// The header states the data's size at least this often.
constexpr uint64_t header_interval_ns = 500000000;

// The most frames one take keeps: whole frames under the size limit.
uint64_t take_cap_frames(uint16_t channels)
{
	return std::min(recording_sample_limit(), wav_max_samples(channels)) / channels;
}

} // namespace

uint64_t &recording_sample_limit()
{
	// A capped take must still go out: the upload declares its body in one 32-bit count, and
	// the 44-byte header, the 171 bytes of framing and the file name (64 allowed) come on top.
	static uint64_t limit = (uint64_t(UINT32_MAX) - 44 - 171 - 64) / 2 / 2 * 2;
	return limit;
}

TakeWriter::TakeWriter(const AudioRing &ring) : ring_(ring), copy_(new int16_t[copy_frames * ring.channels()]) {}

void TakeWriter::begin(uint64_t start, uint32_t sample_rate, int64_t started_seconds, const std::string &dir,
		       const TakeServer &server)
{
	active_ = true;
	start_ = read_ = start;
	lost_ = 0;
	gaps_.clear();
	sample_rate_ = sample_rate;
	full_ = false;
	gap_logged_ = false;
	last_header_ns_ = os_gettime_ns();
	dir_ = dir;
	create_failed_ = !file_.create(dir_, started_seconds, ring_.channels(), sample_rate, server);
}

void TakeWriter::cut_back(uint64_t until)
{
	uint64_t lost = 0;
	for (Gap &gap : gaps_) {
		gap.to = std::min(gap.to, until);
		if (gap.from < gap.to)
			lost += gap.to - gap.from;
	}
	gaps_.erase(std::remove_if(gaps_.begin(), gaps_.end(), [](const Gap &g) { return g.from >= g.to; }),
		    gaps_.end());
	lost_ = lost;
	read_ = std::max(until, start_);
	if (file_.is_open())
		file_.truncate(read_ - start_ - lost_);
}

void TakeWriter::pump(uint64_t until, bool force_header)
{
	if (!active_)
		return;
	const uint16_t channels = ring_.channels();
	const uint64_t cap_frames = take_cap_frames(channels);
	if (read_ > until)
		cut_back(until); // the end was decided after its audio had been written
	while (read_ < until) {
		uint64_t from = read_;
		size_t got = ring_.read(from, copy_.get(), size_t(std::min<uint64_t>(copy_frames, until - read_)));
		if (from != read_) {
			// The ring moved on before we could write it (the disk stalled for half a minute).
			const uint64_t resumed = std::min(from, until);
			gaps_.push_back({read_, resumed});
			lost_ += resumed - read_;
			if (!gap_logged_) {
				gap_logged_ = true;
				blog(LOG_WARNING, "[Kavrel Assistant] Recording fell behind; %.1f s of audio were lost",
				     sample_rate_ ? double(resumed - read_) / sample_rate_ : 0.0);
			}
			read_ = resumed;
			got = size_t(std::min<uint64_t>(got, until - read_));
		}
		if (got == 0)
			break;
		const uint64_t in_file = read_ - start_ - lost_;
		const size_t keep = size_t(std::min<uint64_t>(got, cap_frames - std::min(cap_frames, in_file)));
		if (file_.is_open() && keep > 0)
			file_.append(copy_.get(), keep);
		if (keep < got && !full_) {
			full_ = true;
			blog(LOG_WARNING,
			     "[Kavrel Assistant] Recording reached the largest size a WAV file can hold (%zu samples); "
			     "later audio is not recorded",
			     size_t(cap_frames * channels));
		}
		read_ += got;
	}
	const uint64_t now = os_gettime_ns();
	if (file_.is_open() && (force_header || now - last_header_ns_ >= header_interval_ns)) {
		file_.update_header();
		last_header_ns_ = now;
	}
}

size_t TakeWriter::values(uint64_t end) const noexcept
{
	const uint16_t channels = ring_.channels();
	return size_t(std::min(end - std::min(end, start_), take_cap_frames(channels)) * channels);
}
