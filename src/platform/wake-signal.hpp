// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#ifndef _WIN32
#include <semaphore.h>
#endif

namespace platform {

// Wakes one sleeping thread. post() never blocks and never allocates, so the host's audio
// thread may call it; a post that comes before the wait is kept, so no wake-up is lost.
class WakeSignal {
public:
	// Throws std::system_error when the system has no semaphore to give.
	WakeSignal();
	~WakeSignal();
	WakeSignal(const WakeSignal &) = delete;
	WakeSignal &operator=(const WakeSignal &) = delete;

	void post() noexcept;
	// Sleeps until a post, or returns at once for one that came earlier.
	void wait() noexcept;

private:
#ifdef _WIN32
	void *handle_;
#else
	sem_t sem_;
#endif
};

} // namespace platform
