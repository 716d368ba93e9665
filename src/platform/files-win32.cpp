// SPDX-License-Identifier: GPL-3.0-or-later
#include <windows.h>

#include "platform/files.hpp"

#include <atomic>
#include <string>

namespace platform {

// The host's paths are UTF-8; a name that is not falls back to the ANSI calls.
bool widen_utf8(const std::string &text, std::wstring &out)
{
	if (text.empty())
		return false;
	const int units =
	    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()), nullptr, 0);
	if (units <= 0)
		return false;
	out.assign(static_cast<size_t>(units), L'\0');
	return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()),
				   out.data(), units) == units;
}

bool delete_file(const std::string &path)
{
	std::wstring wide;
	if (widen_utf8(path, wide))
		return DeleteFileW(wide.c_str()) != 0;
	return DeleteFileA(path.c_str()) != 0;
}

bool replace_file(const std::string &from, const std::string &to)
{
	std::wstring wide_from, wide_to;
	if (!widen_utf8(from, wide_from) || !widen_utf8(to, wide_to))
		return false;
	return MoveFileExW(wide_from.c_str(), wide_to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

bool rename_no_replace(const std::string &from, const std::string &to)
{
	std::wstring wide_from, wide_to;
	if (!widen_utf8(from, wide_from) || !widen_utf8(to, wide_to))
		return false;
	// Without MOVEFILE_REPLACE_EXISTING the move fails when the name is taken.
	return MoveFileExW(wide_from.c_str(), wide_to.c_str(), MOVEFILE_WRITE_THROUGH) != 0;
}

bool file_exists(const std::string &path)
{
	std::wstring wide;
	if (widen_utf8(path, wide))
		return GetFileAttributesW(wide.c_str()) != INVALID_FILE_ATTRIBUTES;
	return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

FILE *open_file(const std::string &path, const char *mode)
{
	std::wstring wide_path;
	std::wstring wide_mode;
	if (widen_utf8(path, wide_path) && widen_utf8(mode, wide_mode))
		return _wfopen(wide_path.c_str(), wide_mode.c_str());
	return std::fopen(path.c_str(), mode);
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
