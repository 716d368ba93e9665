// SPDX-License-Identifier: GPL-3.0-or-later
// Linked into a test binary, this replaces pthread_create so that a test can make the next
// thread starts fail as if the system had run out of threads.
#pragma once

namespace testhost {

// While set, every new thread fails to start with EAGAIN.
void fail_thread_starts(bool fail);

} // namespace testhost
