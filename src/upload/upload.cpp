// SPDX-License-Identifier: GPL-3.0-or-later
#include "upload/upload.hpp"
#include "upload/take-server.hpp"

#include "platform/files.hpp"
#include "platform/http.hpp"
#include "upload/multipart.hpp"
#include "upload/server-url.hpp"

#include <obs.h>

#include <cstdint>
#include <exception>
#include <filesystem>
#include <fstream>

namespace {

// The HTTP layer declares the body length in one unsigned 32-bit count.
constexpr uint64_t largest_body = 0xFFFFFFFFull;

// The WinHTTP call that makes each step, which the log names on every platform.
const char *stage_call(platform::HttpStage stage)
{
	switch (stage) {
	case platform::HttpStage::Open:
		return "WinHttpOpen";
	case platform::HttpStage::Connect:
		return "WinHttpConnect";
	case platform::HttpStage::OpenRequest:
		return "WinHttpOpenRequest";
	case platform::HttpStage::Send:
		break;
	}
	return "WinHttpSendRequest";
}

void upload(const std::string &file_path, const std::string &server_url)
{
	const auto endpoint = parse_server_url(server_url);
	if (!endpoint)
		return;

	MultipartBody body;
	{
		// UTF-8, as the recording's path came from the host; Windows would read it as ANSI.
		std::ifstream file(std::filesystem::u8path(file_path), std::ios::binary | std::ios::ate);
		if (!file.is_open()) {
			blog(LOG_ERROR, "[Brisvane] Failed to open file: %s", file_path.c_str());
			return;
		}
		const std::streamoff size = file.tellg();
		if (size < 0) {
			blog(LOG_ERROR, "[Brisvane] Failed to read file.");
			return;
		}
		const std::string file_name = multipart_file_name(file_path);
		if (static_cast<uint64_t>(size) > largest_body - multipart_body_length(file_name.size(), 0)) {
			blog(LOG_ERROR, "[Brisvane] File too large to upload, file kept: %s", file_path.c_str());
			return;
		}
		body = make_multipart_body(file_name, static_cast<size_t>(size));
		file.seekg(0);
		file.read(body.content(), static_cast<std::streamsize>(body.content_length));
		if (!file) {
			blog(LOG_ERROR, "[Brisvane] Failed to read file.");
			return;
		}
	} // closed before any network step

	platform::HttpPost request;
	request.host = endpoint->host;
	request.port = static_cast<uint16_t>(endpoint->port);
	request.path = endpoint->path;
	request.secure = endpoint->secure;
	request.user_agent = "OBS-Brisvane/1.0";
	request.header_text = multipart_header_text();
	request.body = body.bytes.get();
	request.body_length = body.length;
	const platform::HttpOutcome outcome = platform::http_post(request);

	if (!outcome.sent) {
		blog(LOG_ERROR, "[Brisvane] %s failed: %d", stage_call(outcome.failed_stage),
		     static_cast<int>(outcome.error));
		if (outcome.failed_stage == platform::HttpStage::Send)
			blog(LOG_WARNING, "[Brisvane] Upload failed, file kept: %s", file_path.c_str());
		return;
	}
	blog(LOG_INFO, "[Brisvane] Upload complete. Status: %d", static_cast<int>(outcome.status));
	// Only a 2xx means the server took the recording; anything else keeps it on disk.
	if (outcome.status < 200 || outcome.status > 299) {
		blog(LOG_WARNING, "[Brisvane] Upload failed, file kept: %s", file_path.c_str());
		return;
	}
	if (platform::delete_file(file_path)) {
		forget_take_server(file_path);
		blog(LOG_INFO, "[Brisvane] Temporary file deleted: %s", file_path.c_str());
	}
}

} // namespace

void upload_file(const std::string &file_path, const std::string &server_url)
{
	// Runs on a detached thread: nothing may escape it.
	try {
		upload(file_path, server_url);
	} catch (const std::exception &e) {
		blog(LOG_ERROR, "[Brisvane] Upload aborted (%s), file kept: %s", e.what(), file_path.c_str());
	} catch (...) {
		blog(LOG_ERROR, "[Brisvane] Upload aborted, file kept: %s", file_path.c_str());
	}
}
