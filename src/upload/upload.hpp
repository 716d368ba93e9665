// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>

struct UploadJob {
	std::string file_path;
	std::string server_url;
};

// Posts the file and deletes it once the server took it. Runs on an upload thread.
void upload_file(const std::string &file_path, const std::string &server_url);
// Starts one detached upload thread with its own copies; never throws.
void upload_file_async(const std::string &file_path, const std::string &server_url) noexcept;
