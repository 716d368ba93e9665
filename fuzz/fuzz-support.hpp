// SPDX-License-Identifier: GPL-3.0-or-later
// Shared by the fuzz targets: a quiet log that keeps the last line, and a failure that
// libFuzzer reports with the input that caused it.
#pragma once

#include <util/base.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace fuzz {

inline std::string &last_line()
{
	static std::string line;
	return line;
}

inline void keep_last_line(int, const char *format, va_list args, void *)
{
	char text[4096];
	std::vsnprintf(text, sizeof(text), format, args);
	last_line() = text;
}

inline void quiet_log()
{
	base_set_log_handler(keep_last_line, nullptr);
}

[[noreturn]] inline void fail(const char *what)
{
	std::fprintf(stderr, "fuzz check failed: %s\n", what);
	std::abort();
}

inline void check(bool ok, const char *what)
{
	if (!ok)
		fail(what);
}

} // namespace fuzz
