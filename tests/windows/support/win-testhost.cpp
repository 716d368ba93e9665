// SPDX-License-Identifier: GPL-3.0-or-later
// Temporary folders and test data paths for programs run under wine; their log lines come
// through the stand-in obs.dll into the shared log capture.
#include <windows.h>

#include "obs-host.hpp"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

namespace fs = std::filesystem;

namespace testhost {

TempDir::TempDir()
{
	static std::atomic<unsigned> counter{0};
	const fs::path base = fs::temp_directory_path();
	for (int attempt = 0; attempt < 100; ++attempt) {
		char name[64];
		snprintf(name, sizeof(name), "brisvane-test-%lu-%u", GetCurrentProcessId(), counter++);
		const fs::path candidate = base / name;
		if (CreateDirectoryA(candidate.string().c_str(), nullptr)) {
			path_ = candidate.string();
			return;
		}
	}
	throw std::runtime_error("cannot create a temporary folder");
}

TempDir::~TempDir()
{
	std::error_code ec;
	fs::remove_all(path_, ec);
}

std::string staged_data_dir()
{
	return std::string(BRISVANE_TEST_STAGE_DIR) + "/data";
}

std::string tone_model_dir(const std::string &name)
{
	return std::string(BRISVANE_TEST_SOURCE_DIR) + "/data/" + name;
}

} // namespace testhost
