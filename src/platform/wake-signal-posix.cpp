// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/wake-signal.hpp"

#include <cerrno>
#include <system_error>

namespace platform {

WakeSignal::WakeSignal()
{
	if (sem_init(&sem_, 0, 0) != 0)
		throw std::system_error(errno, std::generic_category(), "sem_init");
}

WakeSignal::~WakeSignal()
{
	sem_destroy(&sem_);
}

void WakeSignal::post() noexcept
{
	// Only an overflow of the count can fail, and then a wake-up is pending anyway.
	sem_post(&sem_);
}

void WakeSignal::wait() noexcept
{
	while (sem_wait(&sem_) != 0 && errno == EINTR) {
	}
}

} // namespace platform
