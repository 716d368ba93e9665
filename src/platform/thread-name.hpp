// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

namespace platform {

// Names the calling thread for debuggers and profilers (libobs's os_set_thread_name).
void name_this_thread(const char *name) noexcept;

} // namespace platform
