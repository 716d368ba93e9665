// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstddef>

namespace platform {

// Memory for recording storage with its pages already backed: filling fresh memory one
// audio block at a time would otherwise take a page fault per block on the audio thread,
// and backing a whole chunk at once costs far less. Throws std::bad_alloc.
void *allocate_backed(size_t bytes);
void free_backed(void *memory, size_t bytes) noexcept;

} // namespace platform
