// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <obs-module.h>

#include <exception>

// Runs fn and swallows anything it throws: an exception that unwinds into libobs's C frames
// would terminate OBS. The failure is logged instead.
template<typename Fn> void run_guarded(const char *where, Fn &&fn) noexcept
{
	try {
		fn();
	} catch (const std::exception &e) {
		blog(LOG_ERROR, "[Kavrel Assistant] %s failed: %s", where, e.what());
	} catch (...) {
		blog(LOG_ERROR, "[Kavrel Assistant] %s failed", where);
	}
}
