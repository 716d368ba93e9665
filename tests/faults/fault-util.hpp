// SPDX-License-Identifier: GPL-3.0-or-later
// Pieces shared by the fault tests.
#pragma once

#include "silent-sounds.hpp"
#include "test-files.hpp"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace faults {

using testhost::files_in;
using testhost::read_file;
using testhost::SilentSounds;

} // namespace faults
