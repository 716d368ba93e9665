// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace platform {

// Paths are UTF-8, as the host hands them over. The calls that change a file count as file
// steps (see file-steps.hpp).
bool delete_file(const std::string &path);
bool file_exists(const std::string &path);
// fopen through our own C runtime: a FILE from the host's runtime cannot be used with ours.
FILE *open_file(const std::string &path, const char *mode);
// Renames from to to, atomically replacing a file already there.
bool replace_file(const std::string &from, const std::string &to);
// Renames from to to only if no file is called to: never replaces one, also when another
// process claims the same name at the same moment. False when to exists or on error.
bool rename_no_replace(const std::string &from, const std::string &to);
// Creates or empties path for writing, readable and writable by the user only (POSIX 0600; on
// Windows the user's own folder already keeps others out).
FILE *create_private_file(const std::string &path);
// Creates path for writing only if no file has that name (O_CREAT|O_EXCL, CREATE_NEW), also
// against another process creating it at the same moment; nullptr when it exists or on error.
// The file may be renamed or deleted while open.
FILE *create_new_file(const std::string &path);
// Cuts an open file down to size bytes (what is buffered is written first) and leaves the
// position at the new end.
bool truncate_open_file(FILE *file, uint64_t size);
// fwrite of all of data, or false.
bool write_file(FILE *file, const void *data, size_t size);
bool flush_file(FILE *file);
// Moves the position to offset bytes from the start, past 2 GiB too.
bool seek_file(FILE *file, uint64_t offset);
// Bytes the file holds on disk (what is still buffered does not count); 0 when unknown.
uint64_t file_length(FILE *file);
// The system's words for why the last file call of this thread failed.
std::string last_file_error();
// The file's last modification in seconds since 1970; false when it cannot be read.
bool file_modified_seconds(const std::string &path, int64_t &seconds);

#ifdef _WIN32
// UTF-8 to the wide form the Windows calls take; false for an empty or malformed text.
bool widen_utf8(const std::string &text, std::wstring &out);
#endif

} // namespace platform
