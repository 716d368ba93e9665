// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/wake-signal.hpp"

#include <windows.h>

#include <climits>
#include <system_error>

namespace platform {

WakeSignal::WakeSignal() : handle_(CreateSemaphoreW(nullptr, 0, LONG_MAX, nullptr))
{
	if (!handle_)
		throw std::system_error(int(GetLastError()), std::system_category(), "CreateSemaphoreW");
}

WakeSignal::~WakeSignal()
{
	CloseHandle(handle_);
}

void WakeSignal::post() noexcept
{
	ReleaseSemaphore(handle_, 1, nullptr);
}

void WakeSignal::wait() noexcept
{
	WaitForSingleObject(handle_, INFINITE);
}

} // namespace platform
