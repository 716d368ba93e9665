// SPDX-License-Identifier: GPL-3.0-or-later
// The parts of the shared test support that need no libobs host, for programs run under
// wine: log capture through the stand-in obs.dll, temporary folders and the test data.
#include <windows.h>

#include "obs-host.hpp"

#include <util/base.h>

#include <atomic>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <stdexcept>

namespace fs = std::filesystem;

namespace testhost {

namespace {

std::mutex log_mutex;
std::condition_variable log_cv;
std::vector<LogLine> log_lines;

void log_handler(int level, const char *format, va_list args, void *)
{
	char buffer[8192];
	va_list copy;
	va_copy(copy, args);
	vsnprintf(buffer, sizeof(buffer), format, copy);
	va_end(copy);
	{
		std::lock_guard<std::mutex> lock(log_mutex);
		log_lines.push_back({level, buffer});
	}
	log_cv.notify_all();
	if (std::getenv("BRISVANE_TEST_VERBOSE"))
		fprintf(stderr, "[log %d] %s\n", level, buffer);
}

bool matches(const LogLine &line, const std::string &text, int level)
{
	return (level < 0 || line.level == level) && line.text.find(text) != std::string::npos;
}

} // namespace

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

TempDir::TempDir()
{
	static std::atomic<unsigned> counter{0};
	const fs::path base = fs::temp_directory_path();
	for (int attempt = 0; attempt < 100; ++attempt) {
		char name[64];
		snprintf(name, sizeof(name), "brisvane-test-%lu-%u", GetCurrentProcessId(), counter++);
		const fs::path candidate = base / name;
		if (CreateDirectoryA(candidate.string().c_str(), nullptr)) {
			path_ = candidate.string();
			return;
		}
	}
	throw std::runtime_error("cannot create a temporary folder");
}

TempDir::~TempDir()
{
	std::error_code ec;
	fs::remove_all(path_, ec);
}

std::string staged_data_dir()
{
	return std::string(BRISVANE_TEST_STAGE_DIR) + "/data";
}

std::string tone_model_dir(const std::string &name)
{
	return std::string(BRISVANE_TEST_SOURCE_DIR) + "/data/" + name;
}

} // namespace testhost
