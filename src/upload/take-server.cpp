// SPDX-License-Identifier: GPL-3.0-or-later
#include "upload/take-server.hpp"

#include "platform/files.hpp"

#include <cstdio>
#include <exception>

std::string take_server_path(const std::string &take_path)
{
	return take_path + ".url";
}

bool remember_take_server(const std::string &take_path, const std::string &server_url) noexcept
{
	try {
		const std::string record = take_server_path(take_path);
		if (server_url.empty()) {
			platform::delete_file(record);
			return !platform::file_exists(record);
		}
		const std::string temporary = record + ".tmp";
		FILE *file = platform::open_file(temporary, "wb");
		if (!file)
			return false;
		const bool written = std::fwrite(server_url.data(), 1, server_url.size(), file) == server_url.size();
		if (std::fclose(file) != 0 || !written || !platform::replace_file(temporary, record)) {
			platform::delete_file(temporary);
			return false;
		}
		return true;
	} catch (const std::exception &) {
		return false;
	}
}

std::optional<std::string> recorded_take_server(const std::string &take_path)
{
	FILE *file = platform::open_file(take_server_path(take_path), "rb");
	if (!file)
		return std::nullopt;
	std::string url;
	char piece[512];
	size_t got = 0;
	while ((got = std::fread(piece, 1, sizeof(piece), file)) > 0)
		url.append(piece, got);
	const bool failed = std::ferror(file) != 0;
	std::fclose(file);
	if (failed || url.empty())
		return std::nullopt;
	return url;
}

bool move_take_server(const std::string &from_take, const std::string &to_take) noexcept
{
	try {
		const std::string from = take_server_path(from_take);
		if (!platform::file_exists(from))
			return true;
		return platform::replace_file(from, take_server_path(to_take));
	} catch (const std::exception &) {
		return false;
	}
}

void forget_take_server(const std::string &take_path) noexcept
{
	try {
		platform::delete_file(take_server_path(take_path));
	} catch (const std::exception &) {
	}
}
