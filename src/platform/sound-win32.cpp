// SPDX-License-Identifier: GPL-3.0-or-later
// Notification sounds on Windows: the module's own folder, PlaySoundW and MessageBeep. Paths
// go through the wide functions: a per-user plug-in folder under a Cyrillic user name has no
// spelling in the ANSI code page.
#include <windows.h>
#include <mmsystem.h>

#include "platform/files.hpp"
#include "platform/sound.hpp"

namespace platform {

namespace {

bool narrow_utf8(const wchar_t *text, int units, std::string &out)
{
	const int bytes = WideCharToMultiByte(CP_UTF8, 0, text, units, nullptr, 0, nullptr, nullptr);
	if (bytes <= 0)
		return false;
	out.assign(static_cast<size_t>(bytes), '\0');
	return WideCharToMultiByte(CP_UTF8, 0, text, units, out.data(), bytes, nullptr, nullptr) == bytes;
}

class Win32SoundLayer final : public SoundLayer {
public:
	ModuleDirStatus module_directory(std::string &dir, int &error) override
	{
		// Our own code's address names our DLL, not the host's executable.
		HMODULE module = nullptr;
		if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
					    GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
					reinterpret_cast<LPCWSTR>(&sound_layer), &module)) {
			error = static_cast<int>(GetLastError());
			return ModuleDirStatus::HandleFailed;
		}
		wchar_t name[512];
		const DWORD length = GetModuleFileNameW(module, name, 512);
		if (length == 0)
			return ModuleDirStatus::NameFailed;
		std::string path;
		if (!narrow_utf8(name, static_cast<int>(length < 512 ? length : 511), path))
			return ModuleDirStatus::NameFailed;
		// Windows gives backslashes; a forward slash is a separator there too.
		const size_t cut = path.find_last_of("\\/");
		if (cut == std::string::npos)
			return ModuleDirStatus::NoSeparator;
		dir = path.substr(0, cut + 1);
		return ModuleDirStatus::Ok;
	}

	bool file_exists(const std::string &path) override
	{
		std::wstring wide;
		if (!widen_utf8(path, wide))
			return false;
		WIN32_FIND_DATAW found;
		HANDLE search = FindFirstFileW(wide.c_str(), &found);
		if (search == INVALID_HANDLE_VALUE)
			return false;
		FindClose(search);
		return true;
	}

	bool play_async(const std::string &path, int &error) override
	{
		std::wstring wide;
		if (!widen_utf8(path, wide)) {
			error = ERROR_NO_UNICODE_TRANSLATION;
			return false;
		}
		if (PlaySoundW(wide.c_str(), nullptr, SND_FILENAME | SND_NODEFAULT | SND_ASYNC))
			return true;
		error = static_cast<int>(GetLastError());
		return false;
	}

	void beep() override { MessageBeep(MB_OK); }
};

} // namespace

SoundLayer &native_sound_layer()
{
	static Win32SoundLayer layer;
	return layer;
}

} // namespace platform
