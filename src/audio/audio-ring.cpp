// SPDX-License-Identifier: GPL-3.0-or-later
#include "audio/audio-ring.hpp"

#include <algorithm>
#include <cstring>

AudioRing::AudioRing(uint16_t channels, uint32_t capacity_frames)
    : channels_(channels ? channels : 1), capacity_(capacity_frames ? capacity_frames : 1),
      samples_(new int16_t[size_t(capacity_) * channels_]())
{
}

void AudioRing::write(const int16_t *interleaved, uint32_t frames) noexcept
{
	std::lock_guard<std::mutex> lock(mutex_);
	uint64_t at = end_;
	end_ += frames;
	if (frames > capacity_) {
		interleaved += size_t(frames - capacity_) * channels_;
		at += frames - capacity_;
		frames = capacity_;
	}
	while (frames > 0) {
		const uint32_t slot = uint32_t(at % capacity_);
		const uint32_t run = std::min(frames, capacity_ - slot);
		std::memcpy(&samples_[size_t(slot) * channels_], interleaved,
			    size_t(run) * channels_ * sizeof(int16_t));
		interleaved += size_t(run) * channels_;
		at += run;
		frames -= run;
	}
}

uint64_t AudioRing::end() const noexcept
{
	std::lock_guard<std::mutex> lock(mutex_);
	return end_;
}

uint64_t AudioRing::begin() const noexcept
{
	std::lock_guard<std::mutex> lock(mutex_);
	return end_ > capacity_ ? end_ - capacity_ : 0;
}

size_t AudioRing::read(uint64_t &from, int16_t *out, size_t max_frames) const noexcept
{
	std::lock_guard<std::mutex> lock(mutex_);
	const uint64_t oldest = end_ > capacity_ ? end_ - capacity_ : 0;
	from = std::max(from, oldest);
	if (from >= end_)
		return 0;
	size_t frames = size_t(std::min<uint64_t>(max_frames, end_ - from));
	const size_t copied = frames;
	uint64_t at = from;
	while (frames > 0) {
		const uint32_t slot = uint32_t(at % capacity_);
		const size_t run = std::min<size_t>(frames, capacity_ - slot);
		std::memcpy(out, &samples_[size_t(slot) * channels_], run * channels_ * sizeof(int16_t));
		out += run * channels_;
		at += run;
		frames -= run;
	}
	return copied;
}
