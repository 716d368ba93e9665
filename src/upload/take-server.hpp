// SPDX-License-Identifier: GPL-3.0-or-later
// Which server a take is for, kept beside it as "<take>.url" (the URL's bytes, nothing else),
// so that a take left on disk by a failed upload or a crash is only ever sent where it was
// meant to go.
#pragma once

#include <optional>
#include <string>

std::string take_server_path(const std::string &take_path);
// Writes the record through a temporary file and an atomic rename, so a crash leaves the old
// record or the new one, never half of one. An empty URL removes the record: such a take
// has no server. False when the record could not be written.
bool remember_take_server(const std::string &take_path, const std::string &server_url) noexcept;
// The recorded URL, or nothing when the take has no record.
std::optional<std::string> recorded_take_server(const std::string &take_path);
// Moves the record along with a take that was renamed; true also when there was none.
bool move_take_server(const std::string &from_take, const std::string &to_take) noexcept;
void forget_take_server(const std::string &take_path) noexcept;
