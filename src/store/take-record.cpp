// SPDX-License-Identifier: GPL-3.0-or-later
#include "store/take-record.hpp"

#include "platform/files.hpp"
#include "store/take-paths.hpp"

#include <cstdio>
#include <ctime>
#include <exception>
#include <filesystem>
#include <vector>

namespace {

// A record's temporary this old was left by a crash, not by a write under way.
constexpr int64_t stale_temporary_seconds = 60;

std::string file_name_of(const std::string &path)
{
	const size_t slash = path.find_last_of("/\\");
	return slash == std::string::npos ? path : path.substr(slash + 1);
}

// No URL begins with a line break, so no record of a URL alone can be taken for this.
const std::string lines_mark = "\nbrisvane-take 1\n";

// Values keep their bytes; only what would end a line or read as an escape is escaped.
std::string escaped(const std::string &value)
{
	std::string out;
	for (const char c : value) {
		if (c == '%' || c == '\n' || c == '\r' || c == '\0') {
			static const char digits[] = "0123456789ABCDEF";
			out += '%';
			out += digits[(unsigned char)c >> 4];
			out += digits[(unsigned char)c & 15];
		} else {
			out += c;
		}
	}
	return out;
}

int hex_value(char c)
{
	if (c >= '0' && c <= '9')
		return c - '0';
	if (c >= 'A' && c <= 'F')
		return c - 'A' + 10;
	return -1;
}

std::optional<std::string> unescaped(const std::string &value)
{
	std::string out;
	for (size_t i = 0; i < value.size(); ++i) {
		if (value[i] != '%') {
			out += value[i];
			continue;
		}
		if (i + 2 >= value.size())
			return std::nullopt;
		const int high = hex_value(value[i + 1]), low = hex_value(value[i + 2]);
		if (high < 0 || low < 0)
			return std::nullopt;
		out += char(high << 4 | low);
		i += 2;
	}
	return out;
}

} // namespace

std::string encode_take_record(const TakeRecord &record)
{
	if (!record.delivered && record.final_name.empty() && record.server.access_token.empty())
		return record.server.url;
	std::string out = lines_mark;
	out += "url=" + escaped(record.server.url) + "\n";
	if (!record.server.access_token.empty())
		out += "token=" + escaped(record.server.access_token) + "\n";
	if (record.delivered)
		out += "delivered=1\n";
	if (!record.final_name.empty())
		out += "final=" + escaped(record.final_name) + "\n";
	return out;
}

std::optional<TakeRecord> decode_take_record(const std::string &bytes)
{
	TakeRecord record;
	if (bytes.compare(0, lines_mark.size(), lines_mark) != 0) {
		if (bytes.empty())
			return std::nullopt;
		record.server.url = bytes;
		return record;
	}
	size_t at = lines_mark.size();
	while (at < bytes.size()) {
		size_t end = bytes.find('\n', at);
		if (end == std::string::npos)
			return std::nullopt; // cut short: not a record we wrote whole
		const std::string line = bytes.substr(at, end - at);
		at = end + 1;
		const size_t equals = line.find('=');
		if (equals == std::string::npos)
			continue;
		const std::string key = line.substr(0, equals);
		const auto value = unescaped(line.substr(equals + 1));
		if (!value)
			return std::nullopt;
		if (key == "url")
			record.server.url = *value;
		else if (key == "token")
			record.server.access_token = *value;
		else if (key == "delivered")
			record.delivered = *value == "1";
		else if (key == "final")
			record.final_name = *value;
		// Keys of a later version are skipped.
	}
	if (record.server.url.empty() && !record.delivered)
		return std::nullopt;
	return record;
}

bool write_take_record(const std::string &take_path, const TakeRecord &record) noexcept
{
	try {
		const std::string path = take_record_path(take_path);
		if (record.server.url.empty() && !record.delivered && record.final_name.empty()) {
			platform::delete_file(path);
			return !platform::file_exists(path);
		}
		const std::string bytes = encode_take_record(record);
		const std::string temporary = path + ".tmp";
		FILE *file = platform::create_private_file(temporary);
		if (!file)
			return false;
		const bool written = platform::write_file(file, bytes.data(), bytes.size());
		if (std::fclose(file) != 0 || !written || !platform::replace_file(temporary, path)) {
			platform::delete_file(temporary);
			return false;
		}
		return true;
	} catch (const std::exception &) {
		return false;
	}
}

std::optional<TakeRecord> read_take_record(const std::string &take_path)
{
	FILE *file = platform::open_file(take_record_path(take_path), "rb");
	if (!file)
		return std::nullopt;
	std::string bytes;
	char piece[512];
	size_t got = 0;
	while ((got = std::fread(piece, 1, sizeof(piece), file)) > 0)
		bytes.append(piece, got);
	const bool failed = std::ferror(file) != 0;
	std::fclose(file);
	if (failed)
		return std::nullopt;
	return decode_take_record(bytes);
}

bool move_take_record(const std::string &from_take, const std::string &to_take) noexcept
{
	try {
		const std::string from = take_record_path(from_take);
		if (!platform::file_exists(from))
			return true;
		return platform::replace_file(from, take_record_path(to_take));
	} catch (const std::exception &) {
		return false;
	}
}

void forget_take_record(const std::string &take_path) noexcept
{
	try {
		platform::delete_file(take_record_path(take_path));
	} catch (const std::exception &) {
	}
}

std::string claim_final_name(const std::string &take_path, const std::string &dir, int64_t seconds,
			     const TakeServer &server)
{
	if (server.url.empty()) {
		forget_take_record(take_path);
		return claim_recording_name(take_path, dir, seconds);
	}
	const std::string final_path = claim_recording_name(take_path, dir, seconds, [&](const std::string &to) {
		write_take_record(take_path, TakeRecord{server, false, file_name_of(to)});
	});
	if (!final_path.empty())
		move_take_record(take_path, final_path);
	return final_path;
}

void adopt_orphan_records(const std::string &dir)
{
	namespace fs = std::filesystem;
	const std::string record_end = take_record_path(""), temporary_end = record_end + ".tmp";
	const auto ends_with = [](const std::string &text, const std::string &end) {
		return text.size() > end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
	};
	std::vector<std::string> orphans, temporaries;
	std::error_code error;
	for (fs::directory_iterator it(fs::u8path(dir), error), end; !error && it != end; it.increment(error)) {
		const std::string name = it->path().filename().u8string();
		if (ends_with(name, temporary_end)) {
			temporaries.push_back(dir + "/" + name);
			continue;
		}
		const std::string take = name.substr(0, name.size() - std::min(name.size(), record_end.size()));
		if (ends_with(name, record_end) && is_unfinished_take_name(take) &&
		    !platform::file_exists(dir + "/" + take))
			orphans.push_back(dir + "/" + take);
	}
	for (const std::string &take : orphans) {
		const auto record = read_take_record(take);
		const std::string final_path =
		    record && !record->final_name.empty() ? dir + "/" + record->final_name : "";
		if (!final_path.empty() && is_take_name(record->final_name) && platform::file_exists(final_path) &&
		    !platform::file_exists(take_record_path(final_path)))
			move_take_record(take, final_path);
		else
			forget_take_record(take);
	}
	const int64_t now = int64_t(std::time(nullptr));
	for (const std::string &temporary : temporaries) {
		int64_t modified = 0;
		if (platform::file_modified_seconds(temporary, modified) && now - modified > stale_temporary_seconds)
			platform::delete_file(temporary);
	}
}
