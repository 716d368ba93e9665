// SPDX-License-Identifier: GPL-3.0-or-later
// The WAV file of one take, streamed to disk while the take is recorded. Until it is finished
// it has its unfinished name, is locked against other processes, and its header is brought up
// to date often enough that a crash leaves a valid WAV of what was written; finishing gives it
// its final name, without ever replacing a file, and moves its record along.
#pragma once

#include "platform/file-lock.hpp"
#include "store/take-record.hpp"

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

class TakeFile {
public:
	TakeFile() = default;
	~TakeFile();
	TakeFile(const TakeFile &) = delete;
	TakeFile &operator=(const TakeFile &) = delete;

	// Creates the unfinished take of that second in dir (the next free "_2", "_3" ...), locks
	// it, writes a header for no data and a record of its server (none for an empty URL).
	// False when no file could be created.
	bool create(const std::string &dir, int64_t seconds, uint16_t channels, uint32_t sample_rate,
		    const TakeServer &server);
	// The take's server changed before its stop was decided.
	bool set_server(const TakeServer &server);
	bool is_open() const noexcept { return file_ != nullptr; }
	const std::string &path() const noexcept { return path_; }
	uint64_t frames() const noexcept { return frames_; }
	// True once a write failed (a full disk): nothing more is written.
	bool failed() const noexcept { return failed_; }

	// Appends whole frames; false once writing failed.
	bool append(const int16_t *interleaved, size_t frames);
	// Drops everything after the first `frames` frames (a stop heard after its audio was written).
	bool truncate(uint64_t frames);
	// Flushes the data, then states its size in the header: from here a crash loses nothing
	// written so far.
	bool update_header();

	// Completes the header, closes the file, records the server its stop was decided for and
	// gives it its final name for that second. False when the data or the header could not
	// be written; the file is named all the same, its header stating what reached the disk.
	bool finish(const std::string &dir, int64_t seconds, const TakeServer &server, std::string &final_path);
	// Closes and deletes the file (a take without audio).
	void discard();

private:
	void close();

	FILE *file_ = nullptr;
	std::string path_;
	platform::FileLock lock_;
	uint16_t channels_ = 2;
	uint32_t sample_rate_ = 0;
	uint64_t frames_ = 0;
	bool failed_ = false;
};
