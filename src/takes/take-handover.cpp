// SPDX-License-Identifier: GPL-3.0-or-later
#include "takes/take-handover.hpp"

#include "store/take-paths.hpp"
#include "upload/upload.hpp"

#include <obs-module.h>

void hand_over_take(TakeFile &file, const std::string &dir, int64_t seconds, size_t values, const TakeServer &server,
		    bool quiet)
{
	if (values == 0) {
		file.discard();
		return;
	}
	if (!file.is_open()) {
		// Whatever ended it, a take that could not be saved is news to the user.
		blog(LOG_ERROR, "[Kavrel Assistant] Failed to create file: %s",
		     recording_file_path(dir, seconds).c_str());
		return;
	}
	std::string path;
	const bool written = file.finish(dir, seconds, server, path);
	if (path.empty()) {
		blog(LOG_ERROR, "[Kavrel Assistant] Could not name the recording; it is finished on the next start: %s",
		     file.path().c_str());
		return;
	}
	if (!written) {
		// What reached the disk is a valid WAV of the take's start: the next start would send
		// it anyway, so it goes now, and the log says it is short.
		blog(LOG_ERROR, "[Kavrel Assistant] Failed to write all of the file; sending what was written: %s",
		     path.c_str());
	} else if (!quiet) {
		blog(LOG_INFO, "[Kavrel Assistant] Saved to %s", path.c_str());
	}
	upload_file_async(path, server);
}
