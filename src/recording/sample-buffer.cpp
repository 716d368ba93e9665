// SPDX-License-Identifier: GPL-3.0-or-later
#include "recording/sample-buffer.hpp"

#include "platform/memory.hpp"

#include <algorithm>
#include <cstring>
#include <exception>

namespace {
constexpr size_t chunk_bytes = SampleBuffer::chunk_samples * sizeof(int16_t);
}

bool SampleBuffer::keep_spare_ready() noexcept
{
	if (spare_)
		return true;
	try {
		auto spare = std::make_unique<SpareChunk>(chunk_bytes);
		if (!spare->start())
			return false;
		spare_ = std::move(spare);
		return true;
	} catch (const std::bad_alloc &) {
		return false;
	}
}

bool SampleBuffer::reserve_table(size_t max_samples) noexcept
{
	try {
		chunks_.reserve(max_samples / chunk_samples + (max_samples % chunk_samples != 0));
		return true;
	} catch (const std::exception &) {
		return false;
	}
}

int16_t *SampleBuffer::new_chunk()
{
	void *chunk = spare_ ? spare_->take() : nullptr;
	return static_cast<int16_t *>(chunk ? chunk : platform::allocate_backed(chunk_bytes));
}

void SampleBuffer::append(const int16_t *samples, size_t count)
{
	// Make room first, so a failed allocation leaves size_ untouched.
	size_t needed_chunks = (size_ + count + chunk_samples - 1) / chunk_samples;
	if (needed_chunks > chunks_.size()) {
		// The table of chunk pointers grows geometrically; the samples themselves never move.
		if (needed_chunks > chunks_.capacity())
			chunks_.reserve(std::max(needed_chunks, 2 * chunks_.capacity()));
		while (chunks_.size() < needed_chunks)
			chunks_.emplace_back(new_chunk());
	}
	while (count > 0) {
		size_t offset = size_ % chunk_samples;
		size_t n = std::min(count, chunk_samples - offset);
		std::memcpy(chunks_[size_ / chunk_samples].get() + offset, samples, n * sizeof(int16_t));
		samples += n;
		count -= n;
		size_ += n;
	}
}

void SampleBuffer::ChunkDeleter::operator()(int16_t *chunk) const noexcept
{
	platform::free_backed(chunk, chunk_bytes);
}
