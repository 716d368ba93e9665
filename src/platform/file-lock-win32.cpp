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

bool same_file(HANDLE a, HANDLE b)
{
	BY_HANDLE_FILE_INFORMATION x = {}, y = {};
	return GetFileInformationByHandle(a, &x) && GetFileInformationByHandle(b, &y) &&
	       x.dwVolumeSerialNumber == y.dwVolumeSerialNumber && x.nFileIndexHigh == y.nFileIndexHigh &&
	       x.nFileIndexLow == y.nFileIndexLow;
}

// A second handle on what the path names now, when that is the held file; `access` 0 only
// reads its identity.
HANDLE open_same(const std::wstring &path, HANDLE held, DWORD access)
{
	HANDLE named = CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
				   nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
	if (named != INVALID_HANDLE_VALUE && !same_file(held, named)) {
		CloseHandle(named);
		SetLastError(ERROR_FILE_NOT_FOUND);
		return INVALID_HANDLE_VALUE;
	}
	return named;
}

} // namespace

bool FileLock::try_lock(const std::string &path) noexcept
{
	unlock();
	contended_ = false;
	std::wstring wide;
	if (!file_step("lock") || !widen_utf8(path, wide))
		return false;
	// Shared for everything, delete included, so the owner can still write, rename and delete.
	// Read access only: programs that open a take without sharing delete still can.
	HANDLE file = CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
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
	// Between the open and the lock the path may have come to name another file: the lock
	// holds the file, so check it is the one the path names now.
	HANDLE named = open_same(wide, file, 0);
	if (named == INVALID_HANDLE_VALUE) {
		contended_ = true; // someone made a new file under the name
		CloseHandle(file);
		return false;
	}
	CloseHandle(named);
	handle_ = static_cast<long long>(reinterpret_cast<intptr_t>(file));
	return true;
}

bool FileLock::remove_file(const std::string &path) noexcept
{
	std::wstring wide;
	if (handle_ == invalid || !file_step("delete") || !widen_utf8(path, wide)) {
		unlock();
		return false;
	}
	// Deleted while the lock is still held, so no other process can take the file between our
	// letting go and the delete. POSIX semantics take the name away at once; where the system
	// lacks them (Wine) the file is only marked, and the name goes with the last handle, the
	// lock's own, closed below. (Never delete-on-close from the start: a crash would then
	// lose a take.) A program that opened the take without sharing delete makes this fail.
	bool removed = false;
	HANDLE doomed = open_same(wide, as_handle(handle_), DELETE);
	if (doomed != INVALID_HANDLE_VALUE) {
		posix_disposition posix = {disposition_delete | disposition_posix_semantics};
		removed = SetFileInformationByHandle(doomed, file_disposition_info_ex, &posix, sizeof(posix)) != 0;
		if (!removed) {
			FILE_DISPOSITION_INFO marked = {TRUE};
			removed = SetFileInformationByHandle(doomed, FileDispositionInfo, &marked, sizeof(marked)) != 0;
		}
	}
	const DWORD error = GetLastError();
	if (doomed != INVALID_HANDLE_VALUE)
		CloseHandle(doomed);
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
