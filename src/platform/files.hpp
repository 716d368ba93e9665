// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdio>
#include <string>

namespace platform {

// Paths are UTF-8, as the host hands them over.
bool delete_file(const std::string &path);
bool file_exists(const std::string &path);
// fopen through our own C runtime: a FILE from the host's runtime cannot be used with ours.
FILE *open_file(const std::string &path, const char *mode);
// Renames from to to, atomically replacing a file already there.
bool replace_file(const std::string &from, const std::string &to);
// Renames from to to only if no file is called to: never replaces one, also when another
// process claims the same name at the same moment. False when to exists or on error.
bool rename_no_replace(const std::string &from, const std::string &to);
// Keeps our module mapped for the rest of the process, so detached upload threads can
// outlive an unload of the plug-in.
void pin_module();

#ifdef _WIN32
// UTF-8 to the wide form the Windows calls take; false for an empty or malformed text.
bool widen_utf8(const std::string &text, std::wstring &out);
#endif

} // namespace platform
