// SPDX-License-Identifier: GPL-3.0-or-later
// What every source's takes share: the queue that delivers them (and first finishes what a
// crash left), the speech models, and the errands of the Properties window's buttons, which
// run on threads of their own. Started when the module loads, stopped when it unloads.
#pragma once

#include "store/take-record.hpp"
#include "upload/delivery-queue.hpp"
#include "upload/server-check.hpp"

#include <cstddef>
#include <functional>

namespace takes_service {

void start();
// Waits for uploads under way to end, for model loads still running, and for the errands
// (cut short).
void stop();

// The delivery queue as it stands; never waits on an upload.
DeliveryStatus delivery();
// Tries every waiting, held or kept take again at once: to its own server, except that a take
// recorded for the server `current` names (whatever its credentials) or for no usable server
// goes with `current`. Returns how many.
size_t send_kept_takes_now(const TakeServer &current);
// Checks the server on a thread of its own and hands the result to `done` there. False when
// the thread could not start (or the service is stopping).
bool start_server_check(const TakeServer &server, std::function<void(const ServerCheckResult &)> done);
// Opens the take folder (made first) in the system's file manager, from a thread of its own.
bool open_take_folder();

} // namespace takes_service
