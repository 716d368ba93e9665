// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/memory.hpp"

#include <sys/mman.h>

#include <new>

namespace platform {

void *allocate_backed(size_t bytes)
{
	void *memory = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
	if (memory == MAP_FAILED)
		throw std::bad_alloc();
	return memory;
}

void free_backed(void *memory, size_t bytes) noexcept
{
	if (memory)
		munmap(memory, bytes);
}

} // namespace platform
