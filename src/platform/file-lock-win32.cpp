// SPDX-License-Identifier: GPL-3.0-or-later
#include <windows.h>

#include "platform/file-lock.hpp"
#include "platform/file-steps.hpp"
#include "platform/files.hpp"

#include <string>

namespace platform {

namespace {

// Windows locks are mandatory for the bytes they cover: lock one byte no file of ours reaches.
constexpr DWORD lock_offset_high = 0x7FFFFFFF;

// FILE_DISPOSITION_INFO_EX, which the headers offer only to builds for Windows 10 and later.
struct posix_disposition {
	DWORD flags;
};
constexpr auto file_disposition_info_ex = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
constexpr DWORD disposition_delete = 0x1, disposition_posix_semantics = 0x2;

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
	contended_ = false;
	std::wstring wide;
	if (!file_step("lock") || !widen_utf8(path, wide))
		return false;
	// Shared for everything, delete included, so the owner can still write, rename and delete;
	// with DELETE access of its own, so the holder deletes the file without letting go first.
	HANDLE file =
	    CreateFileW(wide.c_str(), GENERIC_READ | DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
			nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
	if (file == INVALID_HANDLE_VALUE)
		return false;
	OVERLAPPED at = {};
	at.Offset = 0;
	at.OffsetHigh = lock_offset_high;
	if (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
		contended_ = GetLastError() == ERROR_LOCK_VIOLATION;
		CloseHandle(file);
		return false;
	}
	if (!names_file(wide, file)) {
		contended_ = true; // someone made a new file under the name
		CloseHandle(file);
		return false;
	}
	handle_ = static_cast<long long>(reinterpret_cast<intptr_t>(file));
	return true;
}

bool FileLock::remove_file(const std::string &) noexcept
{
	if (handle_ == invalid)
		return false;
	if (!file_step("delete")) {
		unlock();
		return false;
	}
	// Deleted through the locked handle, so no other process can take the file between our
	// letting go and the delete. POSIX semantics take the name away at once; where the system
	// lacks them the file is only marked, and the name goes when our handle, the last one,
	// closes below. (Never delete-on-close from the start: a crash would then lose a take.)
	HANDLE file = as_handle(handle_);
	posix_disposition posix = {disposition_delete | disposition_posix_semantics};
	bool removed = SetFileInformationByHandle(file, file_disposition_info_ex, &posix, sizeof(posix)) != 0;
	if (!removed) {
		FILE_DISPOSITION_INFO marked = {TRUE};
		removed = SetFileInformationByHandle(file, FileDispositionInfo, &marked, sizeof(marked)) != 0;
	}
	const DWORD error = GetLastError();
	unlock();
	if (!removed)
		SetLastError(error);
	return removed;
}

void FileLock::unlock() noexcept
{
	// Closing the handle releases its locks.
	if (handle_ != invalid)
		CloseHandle(as_handle(handle_));
	handle_ = invalid;
}

} // namespace platform
