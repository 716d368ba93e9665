// SPDX-License-Identifier: GPL-3.0-or-later
// What a take on disk is for, kept beside it (see take-paths), so that a take left by a failed
// upload or a crash is only ever sent where it was meant to go, and a take the server already
// took is never sent again.
#pragma once

#include <optional>
#include <string>

struct TakeRecord {
	std::string server_url;
	// Set once the server took the take but the take could not be deleted: only the delete
	// is left to do.
	bool delivered = false;
};

// A record holding only a URL is the URL's bytes, as records always were; anything more is
// kept as "key=value" lines under a first line of its own.
std::string encode_take_record(const TakeRecord &record);
std::optional<TakeRecord> decode_take_record(const std::string &bytes);

// Written through a temporary file and an atomic rename, so a crash leaves the old record or
// the new one, never half of one. A record with neither URL nor mark is removed: such a take
// has no server. False when the record could not be written.
bool write_take_record(const std::string &take_path, const TakeRecord &record) noexcept;
// Nothing when the take has no (readable) record.
std::optional<TakeRecord> read_take_record(const std::string &take_path);
// Moves the record along with a take that was renamed; true also when there was none.
bool move_take_record(const std::string &from_take, const std::string &to_take) noexcept;
void forget_take_record(const std::string &take_path) noexcept;
