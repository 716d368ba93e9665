// SPDX-License-Identifier: GPL-3.0-or-later
#include <windows.h>

#include "platform/files.hpp"

#include "platform/file-steps.hpp"

#include <fcntl.h>
#include <io.h>

#include <cstring>
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
	if (!file_step("delete"))
		return false;
	std::wstring wide;
	if (widen_utf8(path, wide))
		return DeleteFileW(wide.c_str()) != 0;
	return DeleteFileA(path.c_str()) != 0;
}

bool replace_file(const std::string &from, const std::string &to)
{
	if (!file_step("replace"))
		return false;
	std::wstring wide_from, wide_to;
	if (!widen_utf8(from, wide_from) || !widen_utf8(to, wide_to))
		return false;
	return MoveFileExW(wide_from.c_str(), wide_to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

bool rename_no_replace(const std::string &from, const std::string &to)
{
	if (!file_step("rename"))
		return false;
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
	// Reading only changes nothing on disk: not a step.
	if ((mode[0] != 'r' || std::strchr(mode, '+') != nullptr) && !file_step("open"))
		return nullptr;
	std::wstring wide_path;
	std::wstring wide_mode;
	if (widen_utf8(path, wide_path) && widen_utf8(mode, wide_mode))
		return _wfopen(wide_path.c_str(), wide_mode.c_str());
	return std::fopen(path.c_str(), mode);
}

FILE *create_private_file(const std::string &path)
{
	return open_file(path, "wb");
}

FILE *create_new_file(const std::string &path)
{
	if (!file_step("create"))
		return nullptr;
	std::wstring wide;
	if (!widen_utf8(path, wide))
		return nullptr;
	// Shared for delete too, so the file can be renamed while it is written.
	HANDLE handle = CreateFileW(wide.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
				    nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
	if (handle == INVALID_HANDLE_VALUE)
		return nullptr;
	const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_WRONLY | _O_BINARY);
	if (fd < 0) {
		CloseHandle(handle);
		return nullptr;
	}
	FILE *file = _fdopen(fd, "wb");
	if (!file)
		_close(fd);
	return file;
}

bool truncate_open_file(FILE *file, uint64_t size)
{
	if (!file_step("truncate"))
		return false;
	if (std::fflush(file) != 0 || _chsize_s(_fileno(file), static_cast<long long>(size)) != 0)
		return false;
	return _fseeki64(file, static_cast<long long>(size), SEEK_SET) == 0;
}

bool seek_file(FILE *file, uint64_t offset)
{
	if (!file_step("seek"))
		return false;
	return _fseeki64(file, static_cast<long long>(offset), SEEK_SET) == 0;
}

uint64_t file_length(FILE *file)
{
	if (_fseeki64(file, 0, SEEK_END) != 0)
		return 0;
	const long long at = _ftelli64(file);
	return at > 0 ? uint64_t(at) : 0;
}

std::string last_file_error()
{
	const DWORD error = GetLastError();
	wchar_t *text = nullptr;
	const DWORD length =
	    FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
			   nullptr, error, 0, reinterpret_cast<wchar_t *>(&text), 0, nullptr);
	std::string out;
	if (length > 0) {
		const int bytes = WideCharToMultiByte(CP_UTF8, 0, text, int(length), nullptr, 0, nullptr, nullptr);
		out.assign(size_t(bytes > 0 ? bytes : 0), '\0');
		if (bytes > 0)
			WideCharToMultiByte(CP_UTF8, 0, text, int(length), out.data(), bytes, nullptr, nullptr);
		while (!out.empty() &&
		       (out.back() == '\n' || out.back() == '\r' || out.back() == ' ' || out.back() == '.'))
			out.pop_back();
	}
	LocalFree(text);
	return out.empty() ? "Windows error " + std::to_string(error) : out;
}

bool file_modified_seconds(const std::string &path, int64_t &seconds)
{
	std::wstring wide;
	WIN32_FILE_ATTRIBUTE_DATA data;
	if (!widen_utf8(path, wide) || !GetFileAttributesExW(wide.c_str(), GetFileExInfoStandard, &data))
		return false;
	// 100 ns ticks since 1601.
	const uint64_t ticks =
	    (uint64_t(data.ftLastWriteTime.dwHighDateTime) << 32) | data.ftLastWriteTime.dwLowDateTime;
	seconds = int64_t(ticks / 10000000ull) - 11644473600ll;
	return true;
}

} // namespace platform
