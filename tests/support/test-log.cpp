// SPDX-License-Identifier: GPL-3.0-or-later
// Captures every line libobs's blog writes, for test programs with or without a host.
#include "obs-host.hpp"

#include <util/base.h>

#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace testhost {

namespace {

std::mutex log_mutex;
std::condition_variable log_cv;
std::vector<LogLine> log_lines;
bool others_held = false;
std::thread::id holder;

void log_handler(int level, const char *format, va_list args, void *)
{
	char buffer[8192];
	va_list copy;
	va_copy(copy, args);
	vsnprintf(buffer, sizeof(buffer), format, copy);
	va_end(copy);
	{
		// Notified under the lock: a waiter that wakes, finishes its test and exits must
		// not leave a late logging thread touching a destroyed condition variable.
		std::unique_lock<std::mutex> lock(log_mutex);
		log_cv.wait(lock, [] { return !others_held || std::this_thread::get_id() == holder; });
		log_lines.push_back({level, buffer});
		log_cv.notify_all();
	}
	if (std::getenv("BRISVANE_TEST_VERBOSE"))
		fprintf(stderr, "[log %d] %s\n", level, buffer);
}

bool matches(const LogLine &line, const std::string &text, int level)
{
	return (level < 0 || line.level == level) && line.text.find(text) != std::string::npos;
}

} // namespace

void Log::hold_others(bool hold)
{
	std::lock_guard<std::mutex> lock(log_mutex);
	others_held = hold;
	holder = std::this_thread::get_id();
	log_cv.notify_all();
}

void Log::install()
{
	static std::once_flag once;
	std::call_once(once, [] { base_set_log_handler(log_handler, nullptr); });
}

std::vector<LogLine> Log::lines()
{
	std::lock_guard<std::mutex> lock(log_mutex);
	return log_lines;
}

std::vector<LogLine> Log::take()
{
	std::lock_guard<std::mutex> lock(log_mutex);
	std::vector<LogLine> out(log_lines.begin(), log_lines.end());
	log_lines.clear(); // keeps its storage, so a long run's memory stays flat
	return out;
}

void Log::clear()
{
	std::lock_guard<std::mutex> lock(log_mutex);
	log_lines.clear();
}

bool Log::contains(const std::string &text, int level)
{
	return count(text, level) > 0;
}

size_t Log::count(const std::string &text, int level)
{
	std::lock_guard<std::mutex> lock(log_mutex);
	size_t n = 0;
	for (const auto &line : log_lines)
		n += matches(line, text, level) ? 1 : 0;
	return n;
}

bool Log::wait_for(const std::string &text, std::chrono::milliseconds timeout)
{
	std::unique_lock<std::mutex> lock(log_mutex);
	return log_cv.wait_for(lock, timeout, [&] {
		for (const auto &line : log_lines)
			if (matches(line, text, -1))
				return true;
		return false;
	});
}

std::vector<std::string> Log::with_prefix(const std::string &prefix)
{
	std::lock_guard<std::mutex> lock(log_mutex);
	std::vector<std::string> out;
	for (const auto &line : log_lines)
		if (line.text.rfind(prefix, 0) == 0)
			out.push_back(line.text);
	return out;
}

} // namespace testhost
