// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>

namespace platform {

bool delete_file(const std::string &path);
bool file_exists(const std::string &path);
// Keeps our module mapped for the rest of the process, so detached upload threads can
// outlive an unload of the plug-in.
void pin_module();

} // namespace platform
