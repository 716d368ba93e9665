// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/file-lock.hpp"

#include "platform/file-steps.hpp"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

bool FileLock::try_lock(const std::string &path) noexcept
{
	unlock();
	contended_ = false;
	if (!file_step("lock"))
		return false;
	const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
	if (fd < 0)
		return false;
	// flock belongs to this open file description: another open of the same file, in this
	// process or another, is refused until it is closed.
	if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
		contended_ = errno == EWOULDBLOCK;
		close(fd);
		return false;
	}
	// Between the open and the lock the path may have come to name another file (its take
	// renamed, a new one made under the name): the lock holds the file, so check it is the one
	// the path names.
	struct stat held = {}, named = {};
	if (fstat(fd, &held) != 0 || stat(path.c_str(), &named) != 0 || held.st_dev != named.st_dev ||
	    held.st_ino != named.st_ino) {
		contended_ = true; // someone made a new file under the name
		close(fd);
		return false;
	}
	handle_ = fd;
	return true;
}

bool FileLock::remove_file(const std::string &path) noexcept
{
	// Unlinked while still held: no other process can take the file in between.
	if (!file_step("delete")) {
		unlock();
		return false;
	}
	const bool removed = unlink(path.c_str()) == 0;
	unlock();
	return removed;
}

void FileLock::unlock() noexcept
{
	if (handle_ != invalid)
		close(int(handle_));
	handle_ = invalid;
}

} // namespace platform
