// SPDX-License-Identifier: GPL-3.0-or-later
// What a crash or a kill left: unfinished takes are finished before anything is sent.
#pragma once

#include <string>
#include <vector>

// Finishes every unfinished take in dir that no other process holds: header sizes from the
// data on disk, the name's seconds from the file's last modification, its record moved along.
// Returns the finished takes' paths, logging each.
std::vector<std::string> recover_unfinished_takes(const std::string &dir);
