// SPDX-License-Identifier: GPL-3.0-or-later
#include <windows.h>

#include "platform/library.hpp"

#include <vector>

namespace platform {

namespace {

std::string narrow_utf8(const std::wstring &text)
{
	if (text.empty())
		return {};
	const int bytes =
	    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
	if (bytes <= 0)
		return {};
	std::string out(static_cast<size_t>(bytes), '\0');
	WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), bytes, nullptr,
			    nullptr);
	return out;
}

// "<what>: <the system's message> (<code>)", the way dlerror words it on Linux.
std::string system_reason(const std::wstring &what, DWORD code)
{
	wchar_t *message = nullptr;
	const DWORD length =
	    FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
			   nullptr, code, 0, reinterpret_cast<LPWSTR>(&message), 0, nullptr);
	std::wstring text = length && message ? std::wstring(message, length) : std::wstring(L"error");
	if (message)
		LocalFree(message);
	while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' '))
		text.pop_back();
	return narrow_utf8(what) + ": " + narrow_utf8(text) + " (" + std::to_string(code) + ")";
}

} // namespace

void *load_private_library(const char *file_name, std::string &error)
{
	std::wstring wide_name;
	for (const char *c = file_name; *c; ++c)
		wide_name.push_back(static_cast<wchar_t>(static_cast<unsigned char>(*c)));

	// Our own code's address names our DLL, not the host's executable.
	HMODULE self = nullptr;
	if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
				reinterpret_cast<LPCWSTR>(&load_private_library), &self)) {
		error = system_reason(wide_name, GetLastError());
		return nullptr;
	}
	std::vector<wchar_t> buffer(MAX_PATH);
	DWORD length = 0;
	for (;;) {
		length = GetModuleFileNameW(self, buffer.data(), static_cast<DWORD>(buffer.size()));
		if (length == 0) {
			error = system_reason(wide_name, GetLastError());
			return nullptr;
		}
		if (length < buffer.size())
			break;
		buffer.resize(buffer.size() * 2);
	}
	std::wstring path(buffer.data(), length);
	const size_t cut = path.find_last_of(L"\\/");
	path = (cut == std::wstring::npos ? std::wstring() : path.substr(0, cut + 1)) + wide_name;

	// The library's own dependencies come from its folder first, then the system's: never
	// from wherever the host or another plug-in points the search path.
	HMODULE library =
	    LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
	if (!library)
		error = system_reason(path, GetLastError());
	return reinterpret_cast<void *>(library);
}

void *library_function(void *library, const char *name, std::string &error)
{
	FARPROC function = GetProcAddress(static_cast<HMODULE>(library), name);
	if (!function) {
		std::wstring wide_name;
		for (const char *c = name; *c; ++c)
			wide_name.push_back(static_cast<wchar_t>(static_cast<unsigned char>(*c)));
		error = system_reason(wide_name, GetLastError());
	}
	return reinterpret_cast<void *>(function);
}

} // namespace platform
