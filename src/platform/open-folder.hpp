// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <atomic>
#include <string>

namespace platform {

// Opens the folder (UTF-8) in the system's file manager: "xdg-open" found on PATH, or the
// shell on Windows. Blocks until the opener is done, or until `stop` is set (the opener is
// then left to finish on its own); false when it could not be started or failed.
bool open_folder(const std::string &path, const std::atomic<bool> &stop) noexcept;

} // namespace platform
