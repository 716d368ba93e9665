// SPDX-License-Identifier: GPL-3.0-or-later
// The end of a take whose audio is all written: the file gets its final name and goes to
// the delivery queue, with a line for whatever the user must know.
#pragma once

#include "store/take-file.hpp"

#include <cstddef>
#include <cstdint>
#include <string>

// A take of no audio is discarded. Any other is finished under the name of `seconds` for the
// server its stop was decided for and handed over; "Saved to" is logged unless `quiet`.
void hand_over_take(TakeFile &file, const std::string &dir, int64_t seconds, size_t values, const TakeServer &server,
		    bool quiet);
