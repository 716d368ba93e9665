// SPDX-License-Identifier: GPL-3.0-or-later
#include <windows.h>

#include "platform/memory.hpp"

#include <new>

namespace platform {

void *allocate_backed(size_t bytes)
{
	void *memory = VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
	if (!memory)
		throw std::bad_alloc();
	// Committed pages still fault on first touch; one hint backs them all at once.
	WIN32_MEMORY_RANGE_ENTRY range = {memory, bytes};
	PrefetchVirtualMemory(GetCurrentProcess(), 1, &range, 0);
	return memory;
}

void free_backed(void *memory, size_t) noexcept
{
	if (memory)
		VirtualFree(memory, 0, MEM_RELEASE);
}

} // namespace platform
