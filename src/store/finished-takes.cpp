// SPDX-License-Identifier: GPL-3.0-or-later
#include "store/finished-takes.hpp"

#include "platform/file-lock.hpp"
#include "platform/files.hpp"
#include "store/take-paths.hpp"

#include <obs-module.h>

#include <algorithm>
#include <filesystem>
#include <system_error>

namespace {

bool exists(const std::string &path)
{
	std::error_code error;
	return std::filesystem::exists(std::filesystem::u8path(path), error) || error;
}

bool ends_with_separator(const std::string &text)
{
	return !text.empty() && (text.back() == '/' || text.back() == '\\');
}

// Deletes a take and then its record; false (with the system's reason) when the take stays.
bool delete_take(const std::string &path, platform::FileLock *held, std::string &reason)
{
	platform::FileLock own;
	platform::FileLock *lock = held;
	if (!lock || !lock->locked()) {
		if (!own.try_lock(path)) {
			reason = platform::last_file_error();
			return !exists(path);
		}
		lock = &own;
	}
	if (!lock->remove_file(path)) {
		reason = platform::last_file_error();
		if (exists(path))
			return false;
	}
	forget_take_record(path);
	blog(LOG_INFO, "[Brisvane] Temporary file deleted: %s", path.c_str());
	return true;
}

} // namespace

std::vector<WaitingTake> waiting_takes(const std::string &dir)
{
	const std::filesystem::path folder = std::filesystem::u8path(dir);
	std::vector<std::string> takes, records;
	std::error_code error;
	for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
		const std::string name = it->path().filename().u8string();
		if (is_take_name(name))
			takes.push_back(name);
		else if (is_take_record_name(name))
			records.push_back(name.substr(0, name.size() - take_record_path("").size()));
	}
	std::sort(takes.begin(), takes.end());
	const std::string prefix = dir.empty() || ends_with_separator(dir) ? dir : dir + "/";
	std::vector<WaitingTake> waiting;
	for (const std::string &name : takes) {
		const std::string path = prefix + name;
		auto record = read_take_record(path);
		if (!record) {
			blog(LOG_INFO, "[Brisvane] No server recorded, file kept: %s", path.c_str());
			waiting.push_back(WaitingTake{path, std::nullopt});
			continue;
		}
		if (record->delivered) {
			std::string reason;
			if (!delete_take(path, nullptr, reason) && !reason.empty())
				blog(
				    LOG_WARNING,
				    "[Brisvane] Delivered, but could not delete %s (%s); tried again at the next start",
				    path.c_str(), reason.c_str());
			continue;
		}
		waiting.push_back(WaitingTake{path, std::move(record)});
	}
	for (const std::string &name : records)
		if (!std::binary_search(takes.begin(), takes.end(), name) && !exists(prefix + name))
			forget_take_record(prefix + name);
	return waiting;
}

void settle_delivered_take(const std::string &path, const TakeServer &server, platform::FileLock *held)
{
	std::string reason;
	if (delete_take(path, held, reason))
		return;
	const bool marked = write_take_record(path, TakeRecord{server, true, {}});
	blog(LOG_WARNING, "[Brisvane] Delivered, but could not delete %s (%s); %s", path.c_str(), reason.c_str(),
	     marked ? "tried again at the next start" : "it may be sent again at the next start");
}

void settle_gone_take(const std::string &path)
{
	forget_take_record(path);
}
