// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/file-steps.hpp"

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdlib>

namespace platform {

namespace {

std::atomic<uint64_t> taken{0};
// 0: nothing planned, which is all a plug-in in OBS ever sees.
std::atomic<uint64_t> planned{0};
std::atomic<StepFault> planned_fault{StepFault::Fail};
std::atomic<int> planned_error{0};
std::array<std::atomic<const char *>, 512> calls{};

} // namespace

void plan_file_fault(uint64_t step, StepFault fault, int error) noexcept
{
	planned_fault = fault;
	planned_error = error;
	taken = 0;
	planned = step;
}

void reset_file_steps() noexcept
{
	planned = 0;
	taken = 0;
}

uint64_t file_steps_taken() noexcept
{
	return taken.load();
}

const char *file_step_call(uint64_t step) noexcept
{
	const char *call = step >= 1 && step <= calls.size() ? calls[step - 1].load() : nullptr;
	return call ? call : "";
}

bool file_step(const char *call) noexcept
{
	const uint64_t step = ++taken;
	if (step <= calls.size())
		calls[step - 1].store(call, std::memory_order_relaxed);
	if (step != planned.load(std::memory_order_relaxed))
		return true;
	if (planned_fault == StepFault::Die)
		std::_Exit(86);
	errno = planned_error;
#ifdef _WIN32
	// What the Windows calls report; the reason logged is the system's own words for it.
	SetLastError(planned_error == ENOSPC   ? ERROR_DISK_FULL
		     : planned_error == EACCES ? ERROR_ACCESS_DENIED
					       : ERROR_GEN_FAILURE);
#endif
	return false;
}

} // namespace platform
