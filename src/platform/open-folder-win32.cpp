// SPDX-License-Identifier: GPL-3.0-or-later
#include <windows.h>

#include <objbase.h>
#include <shellapi.h>

#include "platform/files.hpp"
#include "platform/open-folder.hpp"

namespace platform {

bool open_folder(const std::string &path, const std::atomic<bool> &) noexcept
{
	std::wstring wide;
	if (!widen_utf8(path, wide))
		return false;
	// The shell may start COM on this thread: it is one of our own, never OBS's.
	CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
	const auto result =
	    reinterpret_cast<intptr_t>(ShellExecuteW(nullptr, L"open", wide.c_str(), nullptr, nullptr, SW_SHOWNORMAL));
	CoUninitialize();
	return result > 32;
}

} // namespace platform
