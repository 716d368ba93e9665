// SPDX-License-Identifier: GPL-3.0-or-later
#include "store/take-paths.hpp"

#include "platform/files.hpp"

#include <util/platform.h>

#include <algorithm>
#include <array>
#include <mutex>

namespace {

// Past this many names in one second the claim gives up rather than loop for ever.
constexpr unsigned max_name_attempts = 10000;

std::string numbered(const std::string &dir, const char *kind, int64_t seconds, unsigned n)
{
	std::string path = dir + "/" + kind + std::to_string(seconds);
	if (n >= 2)
		path += "_" + std::to_string(n);
	return path + ".wav";
}

bool has_form(const std::string &name, const std::string &prefix, const std::string &suffix)
{
	return name.size() > prefix.size() + suffix.size() && name.compare(0, prefix.size(), prefix) == 0 &&
	       name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// The names this process handed out, per folder and second: the next claim in that second
// starts past them, also after their takes were delivered and deleted. A few seconds are
// remembered; a second falls out only when many later ones were named after it.
struct Claimed {
	std::string dir;
	int64_t seconds = 0;
	unsigned next = 0; // 0: unused
	uint64_t age = 0;
};
std::mutex claimed_mutex;
std::array<Claimed, 16> claimed;
uint64_t claims = 0;

Claimed &claimed_for(const std::string &dir, int64_t seconds)
{
	Claimed *oldest = &claimed[0];
	for (Claimed &c : claimed) {
		if (c.next != 0 && c.seconds == seconds && c.dir == dir)
			return c;
		if (c.age < oldest->age)
			oldest = &c;
	}
	oldest->dir.assign(dir);
	oldest->seconds = seconds;
	oldest->next = 1;
	oldest->age = ++claims;
	return *oldest;
}

} // namespace

std::string take_folder()
{
	char dir[512] = "";
	os_get_config_path(dir, sizeof(dir), "obs-brisvane");
	return dir;
}

std::string recording_file_path(const std::string &dir, int64_t seconds, unsigned n)
{
	return numbered(dir, "recording_", seconds, n);
}

std::string unfinished_file_path(const std::string &dir, int64_t seconds, unsigned n)
{
	return numbered(dir, "unfinished_", seconds, n);
}

std::string take_record_path(const std::string &take_path)
{
	return take_path + ".url";
}

bool is_take_name(const std::string &name)
{
	return has_form(name, "recording_", ".wav");
}

bool is_unfinished_take_name(const std::string &name)
{
	return has_form(name, "unfinished_", ".wav");
}

bool is_take_record_name(const std::string &name)
{
	return has_form(name, "recording_", ".wav.url");
}

std::string claim_recording_name(const std::string &from, const std::string &dir, int64_t seconds,
				 const std::function<void(const std::string &to)> &before)
{
	unsigned n = 1;
	{
		std::lock_guard<std::mutex> lock(claimed_mutex);
		n = claimed_for(dir, seconds).next;
	}
	unsigned vanished = 0;
	while (n <= max_name_attempts) {
		const std::string to = recording_file_path(dir, seconds, n);
		if (before)
			before(to);
		if (platform::rename_no_replace(from, to)) {
			std::lock_guard<std::mutex> lock(claimed_mutex);
			Claimed &c = claimed_for(dir, seconds);
			c.next = std::max(c.next, n + 1);
			c.age = ++claims;
			return to;
		}
		if (!platform::file_exists(from))
			return {};
		if (platform::file_exists(to)) {
			++n;
			continue;
		}
		// The file it lost to went away meanwhile (its upload finished): the name is free
		// again. Failing with the name free time after time is the rename itself failing.
		if (++vanished > 3)
			return {};
	}
	return {};
}
