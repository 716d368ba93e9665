// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>

namespace platform {

// An advisory exclusive lock on one file, held for as long as this object lives (flock on
// POSIX; on Windows LockFileEx on a byte far past any data, so reads and writes through other
// handles are never blocked). Several OBS processes may share the recordings folder: whoever
// holds the lock owns the file, and the others leave it alone. Within one process, two locks on
// the same file exclude each other too.
class FileLock {
public:
	FileLock() = default;
	~FileLock() { unlock(); }
	FileLock(FileLock &&other) noexcept : handle_(other.handle_), contended_(other.contended_)
	{
		other.handle_ = invalid;
	}
	FileLock &operator=(FileLock &&other) noexcept
	{
		if (this != &other) {
			unlock();
			handle_ = other.handle_;
			contended_ = other.contended_;
			other.handle_ = invalid;
		}
		return *this;
	}
	FileLock(const FileLock &) = delete;
	FileLock &operator=(const FileLock &) = delete;

	// Takes the lock without waiting; false when the file is missing or someone holds it.
	// The path is UTF-8. The file stays free to be renamed or deleted while locked.
	bool try_lock(const std::string &path) noexcept;
	void unlock() noexcept;
	// Deletes the locked file, now called path, and lets go of the lock, with no moment in
	// between where another process could take the file: once this returns, the name is gone
	// (unless other handles of ours are still open on Windows, where it goes with the last).
	bool remove_file(const std::string &path) noexcept;
	bool locked() const noexcept { return handle_ != invalid; }
	// Whether the last try_lock failed because someone else holds the file, rather than
	// because the file is missing or the call itself failed.
	bool contended() const noexcept { return contended_; }

private:
	static constexpr long long invalid = -1;
	long long handle_ = invalid; // a file descriptor, or a HANDLE's value
	bool contended_ = false;
};

} // namespace platform
