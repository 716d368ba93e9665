// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/files.hpp"

#include <dlfcn.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>

namespace platform {

bool delete_file(const std::string &path)
{
	return unlink(path.c_str()) == 0;
}

FILE *open_file(const std::string &path, const char *mode)
{
	return std::fopen(path.c_str(), mode);
}

bool replace_file(const std::string &from, const std::string &to)
{
	return rename(from.c_str(), to.c_str()) == 0;
}

bool rename_no_replace(const std::string &from, const std::string &to)
{
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

bool file_exists(const std::string &path)
{
	struct stat info;
	return stat(path.c_str(), &info) == 0;
}

void pin_module()
{
	static std::once_flag once;
	std::call_once(once, [] {
		// Whatever object holds this function (the plug-in, or a program linking it) stays
		// mapped for the rest of the process, even after the host unloads it.
		Dl_info info;
		if (!dladdr(reinterpret_cast<void *>(&pin_module), &info) || !info.dli_fname)
			return;
		// The handle is kept on purpose: it is the reference that pins.
		dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
	});
}

} // namespace platform
