// SPDX-License-Identifier: GPL-3.0-or-later
// Where takes live and what they are called. A take is "unfinished_<seconds>[_n].wav" while it
// is written and "recording_<seconds>[_n].wav" once finished; its server record sits beside it
// as "<take>.url". Nothing outside the store builds these names.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

// "obs-brisvane" in the user's configuration folder.
std::string take_folder();

// "<dir>/recording_<seconds>.wav", or "<dir>/recording_<seconds>_<n>.wav" for n >= 2.
std::string recording_file_path(const std::string &dir, int64_t seconds, unsigned n = 1);
std::string unfinished_file_path(const std::string &dir, int64_t seconds, unsigned n = 1);
std::string take_record_path(const std::string &take_path);

// Whether a file name (without folder) is one of a finished or an unfinished take, or the
// record of a finished one.
bool is_take_name(const std::string &name);
bool is_unfinished_take_name(const std::string &name);
bool is_take_record_name(const std::string &name);

// Renames `from` to the first free "<dir>/recording_<seconds>[_n].wav", never replacing a file
// and never using a name this process handed out before (a server that stores by name would
// lose the first); the new path, or empty when the rename itself failed. `before`, when given,
// runs with each name just before it is tried.
std::string claim_recording_name(const std::string &from, const std::string &dir, int64_t seconds,
				 const std::function<void(const std::string &to)> &before = nullptr);
