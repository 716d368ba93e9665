// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "recording/spare-chunk.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

// Growable array of 16-bit samples stored in fixed-size chunks: appending never moves what
// is already stored, so a long recording does not copy hundreds of megabytes on the audio
// thread. clear() keeps the chunks for the next recording.
class SampleBuffer {
public:
	static constexpr size_t chunk_samples = size_t(1) << 15;

	// Keeps the next chunk backed ahead of time on a thread of its own, so the audio thread
	// does not pay for backing it; false if that thread cannot start (chunks are then backed
	// as they are needed, as without this call).
	bool keep_spare_ready() noexcept;
	bool spare_ready() const noexcept { return spare_ && spare_->ready(); }
	// Sizes the table of chunk pointers for max_samples at once (address space only), so
	// that it never has to move while samples are appended; false if that cannot be had.
	bool reserve_table(size_t max_samples) noexcept;

	// Appends count samples; may throw std::bad_alloc, leaving what was stored before intact.
	void append(const int16_t *samples, size_t count);
	void clear() noexcept { size_ = 0; }
	size_t size() const noexcept { return size_; }
	bool empty() const noexcept { return size_ == 0; }
	// Calls fn(pointer, count) for each stored run of samples, in order.
	template<typename Fn> void for_each_run(Fn &&fn) const
	{
		size_t left = size_;
		for (size_t i = 0; left > 0; ++i) {
			size_t n = left < chunk_samples ? left : chunk_samples;
			fn(static_cast<const int16_t *>(chunks_[i].get()), n);
			left -= n;
		}
	}
	int16_t at(size_t index) const noexcept { return chunks_[index / chunk_samples].get()[index % chunk_samples]; }

private:
	struct ChunkDeleter {
		void operator()(int16_t *chunk) const noexcept;
	};
	int16_t *new_chunk();
	std::vector<std::unique_ptr<int16_t, ChunkDeleter>> chunks_;
	size_t size_ = 0;
	std::unique_ptr<SpareChunk> spare_;
};
