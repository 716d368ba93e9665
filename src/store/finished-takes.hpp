// SPDX-License-Identifier: GPL-3.0-or-later
// Finished takes on their way to the server: which wait in the folder, and settling one once
// an attempt is over.
#pragma once

#include "store/take-record.hpp"

#include <optional>
#include <string>
#include <vector>

namespace platform {
class FileLock;
}

struct WaitingTake {
	std::string path;
	std::optional<TakeRecord> record; // none: no server to send it to
};

// Every finished take in dir still to be delivered, by name, each with its record. Along the
// way: a take without a record is logged, a take the server already took has its delete
// done, and records whose take is gone are dropped.
std::vector<WaitingTake> waiting_takes(const std::string &dir);

// The server took the take: it is deleted (through the caller's lock on it, when given) with
// its record. When the delete fails the take is marked delivered, never to be sent again, and
// the delete is tried again at the next start; both are logged.
void settle_delivered_take(const std::string &path, const TakeServer &server, platform::FileLock *held);
// The take is gone: so is its record.
void settle_gone_take(const std::string &path);
