// SPDX-License-Identifier: GPL-3.0-or-later
// Reading what the module left on disk.
#pragma once

#include "store/take-record.hpp"

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace testhost {

// Paths of the entries of dir, leaving out the records of each take's server ("<take>.url");
// empty when it does not exist.
inline std::vector<std::string> files_in(const std::string &dir)
{
	std::vector<std::string> out;
	std::error_code ec;
	for (const auto &entry : std::filesystem::directory_iterator(dir, ec))
		if (entry.path().extension() != ".url")
			out.push_back(entry.path().string());
	return out;
}

// The server recorded beside a take; empty when it has none.
inline std::string recorded_url(const std::string &take)
{
	const auto record = read_take_record(take);
	return record ? record->server.url : std::string();
}

inline std::string read_file(const std::string &path)
{
	std::ifstream in(path, std::ios::binary);
	return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline std::vector<uint8_t> read_bytes(const std::string &path)
{
	const std::string text = read_file(path);
	return {text.begin(), text.end()};
}

} // namespace testhost
