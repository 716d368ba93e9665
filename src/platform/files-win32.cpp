// SPDX-License-Identifier: GPL-3.0-or-later
#include <windows.h>

#include "platform/files.hpp"

#include <atomic>

namespace platform {

bool delete_file(const std::string &path)
{
	return DeleteFileA(path.c_str()) != 0;
}

bool file_exists(const std::string &path)
{
	return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void pin_module()
{
	static std::atomic<bool> pinned{false};
	if (pinned.exchange(true))
		return;
	// A pinned module stays mapped until the process ends, whatever FreeLibrary says.
	HMODULE module = nullptr;
	GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
			   reinterpret_cast<LPCSTR>(&pin_module), &module);
}

} // namespace platform
