// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "store/take-record.hpp"

#include <cstdint>
#include <string>

namespace platform {
class FileLock;
class HttpCancel;
} // namespace platform

// What became of one attempt, as far as the delivery queue must know.
enum class UploadResult {
	Delivered, // the server took it (2xx): file deleted
	Retry,     // no connection, timed out, 5xx, 408, 429, status 0, ...: worth trying again later
	Hold,      // another status, a refused certificate, a URL that does not parse: not this run
	Gone,      // the file no longer exists
	Cancelled, // cut short by shutdown
};

// Posts the file, streamed from disk, and deletes it once the server took it. Blocks; every
// outcome is logged. `cancel`, when given, cuts the exchange short from another thread; `held`,
// the caller's lock on the file, is what deletes it. A non-blank `access_token` is sent as a
// Bearer token, ahead of user info in the URL; one that is not printable ASCII holds the take.
// `status`, when given, gets the server's HTTP status (0 when none came).
UploadResult upload_file(const std::string &file_path, const std::string &server_url,
			 platform::HttpCancel *cancel = nullptr, platform::FileLock *held = nullptr,
			 const std::string &access_token = {}, uint32_t *status = nullptr);

// Hands a finished take to the delivery queue: records its server beside it (so it is only
// ever sent there, also after a restart) and queues it. Never blocks on the disk beyond that
// record, never throws; callable from any thread.
void upload_file_async(const std::string &file_path, const TakeServer &server) noexcept;
