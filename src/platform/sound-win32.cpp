// SPDX-License-Identifier: GPL-3.0-or-later
// Notification sounds on Windows: the module's own folder, PlaySoundA and MessageBeep.
#include <windows.h>
#include <mmsystem.h>

#include "platform/sound.hpp"

namespace platform {

namespace {

class Win32SoundLayer final : public SoundLayer {
public:
	ModuleDirStatus module_directory(std::string &dir, int &error) override
	{
		// Our own code's address names our DLL, not the host's executable.
		HMODULE module = nullptr;
		if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
					    GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
					reinterpret_cast<LPCSTR>(&sound_layer), &module)) {
			error = static_cast<int>(GetLastError());
			return ModuleDirStatus::HandleFailed;
		}
		char name[512];
		const DWORD length = GetModuleFileNameA(module, name, sizeof(name));
		if (length == 0)
			return ModuleDirStatus::NameFailed;
		std::string path(name, length < sizeof(name) ? length : sizeof(name) - 1);
		// Windows gives backslashes; a forward slash is a separator there too.
		const size_t cut = path.find_last_of("\\/");
		if (cut == std::string::npos)
			return ModuleDirStatus::NoSeparator;
		dir = path.substr(0, cut + 1);
		return ModuleDirStatus::Ok;
	}

	bool file_exists(const std::string &path) override
	{
		WIN32_FIND_DATAA found;
		HANDLE search = FindFirstFileA(path.c_str(), &found);
		if (search == INVALID_HANDLE_VALUE)
			return false;
		FindClose(search);
		return true;
	}

	bool play_async(const std::string &path, int &error) override
	{
		if (PlaySoundA(path.c_str(), nullptr, SND_FILENAME | SND_NODEFAULT | SND_ASYNC))
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
