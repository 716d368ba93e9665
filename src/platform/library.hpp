// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>

namespace platform {

// Loads a library we ship, from the folder of the module holding this code (on Linux then from
// the package's private folder "../obs-brisvane/" beside it, then by name through the
// module's RUNPATH). It stays
// loaded for the rest of the process. Null on failure, with the system's reason in `error`.
void *load_private_library(const char *file_name, std::string &error);
// Null, with the system's reason, when the library lacks the function.
void *library_function(void *library, const char *name, std::string &error);

} // namespace platform
