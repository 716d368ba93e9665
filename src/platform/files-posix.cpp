// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/files.hpp"

#include "platform/file-steps.hpp"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace platform {

bool delete_file(const std::string &path)
{
	if (!file_step("delete"))
		return false;
	return unlink(path.c_str()) == 0;
}

FILE *open_file(const std::string &path, const char *mode)
{
	// Reading only changes nothing on disk: not a step.
	if ((mode[0] != 'r' || std::strchr(mode, '+') != nullptr) && !file_step("open"))
		return nullptr;
	return std::fopen(path.c_str(), mode);
}

namespace {

// A FILE for writing over a descriptor just opened; the descriptor is closed when none can be had.
FILE *writing(int fd)
{
	if (fd < 0)
		return nullptr;
	FILE *file = fdopen(fd, "wb");
	if (!file)
		close(fd);
	return file;
}

} // namespace

FILE *create_private_file(const std::string &path)
{
	if (!file_step("open"))
		return nullptr;
	const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
	// A file left from before keeps its mode through O_TRUNC.
	if (fd >= 0 && fchmod(fd, 0600) != 0) {
		close(fd);
		return nullptr;
	}
	return writing(fd);
}

FILE *create_new_file(const std::string &path)
{
	if (!file_step("create"))
		return nullptr;
	return writing(open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
}

bool truncate_open_file(FILE *file, uint64_t size)
{
	if (!file_step("truncate"))
		return false;
	if (std::fflush(file) != 0 || ftruncate(fileno(file), off_t(size)) != 0)
		return false;
	return fseeko(file, off_t(size), SEEK_SET) == 0;
}

bool file_modified_seconds(const std::string &path, int64_t &seconds)
{
	struct stat info;
	if (stat(path.c_str(), &info) != 0)
		return false;
	seconds = int64_t(info.st_mtime);
	return true;
}

bool replace_file(const std::string &from, const std::string &to)
{
	if (!file_step("replace"))
		return false;
	return rename(from.c_str(), to.c_str()) == 0;
}

bool rename_no_replace(const std::string &from, const std::string &to)
{
	if (!file_step("rename"))
		return false;
	if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
		return true;
	if (errno != EINVAL && errno != ENOSYS)
		return false;
	// A file system without the flag: a hard link is refused just as atomically when the name
	// is taken.
	if (link(from.c_str(), to.c_str()) != 0)
		return false;
	unlink(from.c_str());
	return true;
}

bool seek_file(FILE *file, uint64_t offset)
{
	if (!file_step("seek"))
		return false;
	return fseeko(file, off_t(offset), SEEK_SET) == 0;
}

uint64_t file_length(FILE *file)
{
	if (fseeko(file, 0, SEEK_END) != 0)
		return 0;
	const off_t at = ftello(file);
	return at > 0 ? uint64_t(at) : 0;
}

std::string last_file_error()
{
	return std::strerror(errno);
}

bool file_exists(const std::string &path)
{
	struct stat info;
	return stat(path.c_str(), &info) == 0;
}

} // namespace platform
