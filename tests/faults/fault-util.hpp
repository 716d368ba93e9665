// SPDX-License-Identifier: GPL-3.0-or-later
// Pieces shared by the fault tests.
#pragma once

#include "silent-sounds.hpp"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace faults {

using testhost::SilentSounds;

inline std::vector<std::string> files_in(const std::string &dir)
{
	std::vector<std::string> out;
	std::error_code ec;
	for (const auto &entry : std::filesystem::directory_iterator(dir, ec))
		out.push_back(entry.path().string());
	return out;
}

inline std::string read_all(const std::string &path)
{
	std::ifstream in(path, std::ios::binary);
	return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

} // namespace faults
