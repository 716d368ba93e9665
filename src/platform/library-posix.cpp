// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/library.hpp"

#include "platform/files.hpp"

#include <dlfcn.h>

namespace platform {

namespace {

std::string last_dl_error(const char *fallback)
{
	const char *reason = dlerror();
	return reason ? reason : fallback;
}

} // namespace

void *load_private_library(const char *file_name, std::string &error)
{
	Dl_info info = {};
	if (dladdr(reinterpret_cast<void *>(&load_private_library), &info) != 0 && info.dli_fname) {
		std::string dir = info.dli_fname;
		const size_t slash = dir.rfind('/');
		dir = slash == std::string::npos ? std::string() : dir.substr(0, slash + 1);
		// Beside the module (a per-user install), else the package's private folder, both by
		// full path: a host built with AddressSanitizer wraps dlopen and loses our RUNPATH.
		// A copy that is there but broken gives the reason worth reporting.
		for (const std::string &candidate : {dir + file_name, dir + "../obs-brisvane/" + file_name}) {
			if (!file_exists(candidate))
				continue;
			void *library = dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL);
			if (!library)
				error = last_dl_error("cannot load");
			return library;
		}
	}
	void *library = dlopen(file_name, RTLD_NOW | RTLD_LOCAL);
	if (!library)
		error = last_dl_error("cannot load");
	return library;
}

void *library_function(void *library, const char *name, std::string &error)
{
	dlerror();
	void *function = dlsym(library, name);
	if (!function)
		error = last_dl_error("undefined symbol");
	return function;
}

} // namespace platform
