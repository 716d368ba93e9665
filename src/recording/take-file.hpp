// SPDX-License-Identifier: GPL-3.0-or-later
// The WAV file of one take, streamed to disk while the take is recorded. Until it is finished
// it is called "unfinished_<seconds>.wav", locked against other processes, and its header is
// brought up to date often enough that a crash leaves a valid WAV of what was written;
// finishing gives it its final name, "recording_<seconds>.wav", without ever replacing a file.
#pragma once

#include "platform/file-lock.hpp"

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

	// Creates "<dir>/unfinished_<seconds>.wav" (or the next free "_2", "_3" ...), locks it and
	// writes a header for no data. False when no file could be created.
	bool create(const std::string &dir, int64_t seconds, uint16_t channels, uint32_t sample_rate);
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

	// Completes the header, closes the file and renames it "<dir>/recording_<seconds>.wav" (or
	// the next free suffix). False when the data or the header could not be written; the
	// file is renamed all the same, so a short take is kept under a name the user knows.
	bool finish(const std::string &dir, int64_t seconds, std::string &final_path);
	// Closes and deletes the file (a take without audio).
	void discard();

private:
	bool seek(uint64_t offset);
	void close();

	FILE *file_ = nullptr;
	std::string path_;
	platform::FileLock lock_;
	uint16_t channels_ = 2;
	uint32_t sample_rate_ = 0;
	uint64_t frames_ = 0;
	bool failed_ = false;
};

// Whether a file name (without folder) is one of an unfinished take.
bool is_unfinished_take_name(const std::string &name);
// Renames `from` to the first free "<dir>/recording_<seconds>[_n].wav", never replacing a
// file; the new path, or empty when no name could be claimed.
std::string claim_recording_name(const std::string &from, const std::string &dir, int64_t seconds);
// Finishes every unfinished take in dir that no other process holds: header sizes from the
// data on disk, the name's seconds from the file's last modification, its server record
// moved along. Returns the finished takes' paths, logging each.
std::vector<std::string> recover_unfinished_takes(const std::string &dir);
