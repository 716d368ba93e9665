// SPDX-License-Identifier: GPL-3.0-or-later
// What a take on disk is for, kept beside it (see take-paths), so that a take left by a failed
// upload or a crash is only ever sent where it was meant to go, and a take the server already
// took is never sent again.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

// Where a take goes, and the access token it is sent with (empty: none). Both are the ones in
// force when its stop was decided.
struct TakeServer {
	TakeServer() = default;
	TakeServer(std::string url_, std::string access_token_ = {})
	    : url(std::move(url_)), access_token(std::move(access_token_))
	{
	}
	TakeServer(const char *url_) : url(url_) {}
	bool operator==(const TakeServer &other) const
	{
		return url == other.url && access_token == other.access_token;
	}
	bool operator!=(const TakeServer &other) const { return !(*this == other); }

	std::string url;
	std::string access_token;
};

struct TakeRecord {
	TakeServer server;
	// Set once the server took the take but the take could not be deleted: only the delete
	// is left to do.
	bool delivered = false;
	// The final name (without folder) an unfinished take is being given: a crash between its
	// rename and the record's leaves the record findable from the take.
	std::string final_name;
};

// A record holding only a URL is the URL's bytes, as records always were; anything more is
// kept as "key=value" lines under a first line of its own. Records may hold secrets: they are
// readable by the user only.
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

// Gives an unfinished take its final name for that second (see claim_recording_name) and its
// record for the server (none for an empty URL): the record names the final name before the
// rename and follows it after, so that a crash in between leaves them joined (see
// adopt_orphan_records). The final path, or empty when the take keeps its name.
std::string claim_final_name(const std::string &take_path, const std::string &dir, int64_t seconds,
			     const TakeServer &server);
// Records of unfinished takes that are gone: one naming a finished take without a record is
// that take's, and moves to it; the rest are dropped. Temporaries of records that a crash left
// are dropped once old.
void adopt_orphan_records(const std::string &dir);
