// SPDX-License-Identifier: GPL-3.0-or-later
#include <windows.h>

#include "platform/file-lock.hpp"
#include "platform/files.hpp"

#include <string>

namespace platform {

namespace {

// Windows locks are mandatory for the bytes they cover: lock one byte no file of ours reaches.
constexpr DWORD lock_offset_high = 0x7FFFFFFF;

HANDLE as_handle(long long value)
{
	return reinterpret_cast<HANDLE>(static_cast<intptr_t>(value));
}

// Between the open and the lock the path may have come to name another file: the lock holds
// the file, so check it is the one the path names now.
bool names_file(const std::wstring &path, HANDLE held)
{
	HANDLE named = CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
				   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
	if (named == INVALID_HANDLE_VALUE)
		return false;
	BY_HANDLE_FILE_INFORMATION a = {}, b = {};
	const bool same = GetFileInformationByHandle(held, &a) && GetFileInformationByHandle(named, &b) &&
			  a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
			  a.nFileIndexLow == b.nFileIndexLow;
	CloseHandle(named);
	return same;
}

} // namespace

bool FileLock::try_lock(const std::string &path) noexcept
{
	unlock();
	std::wstring wide;
	if (!widen_utf8(path, wide))
		return false;
	// Shared for everything, delete included, so the owner can still write, rename and delete.
	HANDLE file = CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
				  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
	if (file == INVALID_HANDLE_VALUE)
		return false;
	OVERLAPPED at = {};
	at.Offset = 0;
	at.OffsetHigh = lock_offset_high;
	if (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at) ||
	    !names_file(wide, file)) {
		CloseHandle(file);
		return false;
	}
	handle_ = static_cast<long long>(reinterpret_cast<intptr_t>(file));
	return true;
}

bool FileLock::remove_file(const std::string &path) noexcept
{
	// DeleteFileW only marks a file that a handle still holds open: our own lock would keep
	// the name on disk until it closed.
	unlock();
	return delete_file(path);
}

void FileLock::unlock() noexcept
{
	// Closing the handle releases its locks.
	if (handle_ != invalid)
		CloseHandle(as_handle(handle_));
	handle_ = invalid;
}

} // namespace platform
