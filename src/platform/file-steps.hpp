// SPDX-License-Identifier: GPL-3.0-or-later
// Every file call that changes a take on disk (create, write, flush, seek, truncate, lock,
// rename, delete, opening a record) passes through file_step() first, so that a test can make
// the n-th such call fail, or end the process right there, and see what became of the take.
#pragma once

#include <cstdint>

namespace platform {

enum class StepFault {
	Fail, // the call does nothing and reports the planned error (errno)
	Die,  // the process ends at once, as a crash or a kill would end it
};

// Counts from here; the step numbered `step` (from 1) gets the fault. Tests only.
void plan_file_fault(uint64_t step, StepFault fault, int error = 0) noexcept;
// Forgets any plan and starts counting from 0 again.
void reset_file_steps() noexcept;
uint64_t file_steps_taken() noexcept;
// The call made at a step since counting began ("create", "write", ...); empty past the first
// few hundred.
const char *file_step_call(uint64_t step) noexcept;

// True when `call` may go ahead; false, with errno set, when its failure was planned.
bool file_step(const char *call) noexcept;

} // namespace platform
