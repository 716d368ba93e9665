// SPDX-License-Identifier: GPL-3.0-or-later
#include "upload/upload.hpp"

#include "platform/files.hpp"

#include <obs.h>

#include <exception>
#include <memory>
#include <thread>

namespace {

void upload_thread(std::unique_ptr<UploadJob> job)
{
	upload_file(job->file_path, job->server_url);
}

} // namespace

void upload_file_async(const std::string &file_path, const std::string &server_url) noexcept
{
	// The caller holds its instance's mutex on an OBS thread: report, keep the file, return.
	try {
		// Upload threads are never joined and may still run when the plug-in is unloaded.
		platform::pin_module();
		auto job = std::make_unique<UploadJob>(UploadJob{file_path, server_url});
		std::thread(upload_thread, std::move(job)).detach();
	} catch (const std::exception &e) {
		blog(LOG_ERROR, "[Brisvane] Could not start upload (%s), file kept: %s", e.what(), file_path.c_str());
	} catch (...) {
		blog(LOG_ERROR, "[Brisvane] Could not start upload, file kept: %s", file_path.c_str());
	}
}
