// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/thread-name.hpp"

#ifdef _WIN32
// Debian's util/threading.h does not build for Windows; obs.dll exports the function all the same.
extern "C" void os_set_thread_name(const char *name);
#else
#include <util/threading.h>
#endif

namespace platform {

void name_this_thread(const char *name) noexcept
{
	os_set_thread_name(name);
}

} // namespace platform
