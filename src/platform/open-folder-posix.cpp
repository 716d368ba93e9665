// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/open-folder.hpp"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

extern char **environ;

namespace platform {

bool open_folder(const std::string &path, const std::atomic<bool> &stop) noexcept
{
	std::string program = "xdg-open", folder = path;
	char *argv[] = {program.data(), folder.data(), nullptr};
	pid_t child = 0;
	if (posix_spawnp(&child, "xdg-open", nullptr, nullptr, argv, environ) != 0)
		return false;
	// Reaped here, so no zombie is left in OBS's process; a desktop whose opener waits for the
	// file manager to close is not waited for past a stop.
	for (;;) {
		int status = 0;
		const pid_t done = waitpid(child, &status, WNOHANG);
		if (done == child)
			return WIFEXITED(status) && WEXITSTATUS(status) == 0;
		if (done < 0 || stop.load())
			return done >= 0;
		std::this_thread::sleep_for(std::chrono::milliseconds(50));
	}
}

} // namespace platform
