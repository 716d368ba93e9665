// SPDX-License-Identifier: GPL-3.0-or-later
// The recent audio of one source, interleaved 16-bit, addressed by frame position: the count
// of frames the source had received before that frame. One writer, the host's audio
// callback; any number of readers on threads of our own (the take writer, the recogniser).
// The lock is held only while one piece is copied in or out, so the audio thread never
// waits for more than a short memcpy.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

class AudioRing {
public:
	// Allocates all the memory it will ever use; throws std::bad_alloc.
	AudioRing(uint16_t channels, uint32_t capacity_frames);
	AudioRing(const AudioRing &) = delete;
	AudioRing &operator=(const AudioRing &) = delete;

	uint16_t channels() const noexcept { return channels_; }
	uint32_t capacity() const noexcept { return capacity_; }

	// Audio thread only. A block longer than the ring keeps only its last frames (the
	// position still advances by all of them).
	void write(const int16_t *interleaved, uint32_t frames) noexcept;

	// Position just past the last frame written.
	uint64_t end() const noexcept;
	// Oldest position still held.
	uint64_t begin() const noexcept;

	// Copies up to max_frames frames from position `from` into out (interleaved). When
	// `from` was already overwritten it is moved up to the oldest frame held, so the caller
	// sees how much it skipped. Returns the frames copied: 0 when nothing past `from` has
	// been written yet. Keep max_frames to a few thousand: the writer waits for this copy.
	size_t read(uint64_t &from, int16_t *out, size_t max_frames) const noexcept;

private:
	const uint16_t channels_;
	const uint32_t capacity_;
	std::unique_ptr<int16_t[]> samples_;
	mutable std::mutex mutex_;
	uint64_t end_ = 0;
};
