// SPDX-License-Identifier: GPL-3.0-or-later
// What every source's takes share: the queue that delivers them (and first finishes what a
// crash left), the speech models. Started when the module loads, stopped when it unloads.
#pragma once

namespace takes_service {

void start();
// Waits for uploads under way to end and for model loads still running.
void stop();

} // namespace takes_service
