// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/memory.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <new>

namespace platform {

void *allocate_backed(size_t bytes)
{
	void *memory = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
	if (memory == MAP_FAILED)
		throw std::bad_alloc();
	// Under some hypervisors the first write to each page still traps although it is
	// populated; pay that here, once a chunk, rather than once a block later.
	static const size_t page = size_t(sysconf(_SC_PAGESIZE));
	for (size_t offset = 0; offset < bytes; offset += page)
		static_cast<volatile char *>(memory)[offset] = 0;
	return memory;
}

void free_backed(void *memory, size_t bytes) noexcept
{
	if (memory)
		munmap(memory, bytes);
}

} // namespace platform
