// SPDX-License-Identifier: GPL-3.0-or-later
#include "upload/upload.hpp"

#include "platform/file-lock.hpp"
#include "platform/files.hpp"
#include "platform/http.hpp"
#include "store/finished-takes.hpp"
#include "upload/authorization.hpp"
#include "upload/multipart.hpp"
#include "upload/server-url.hpp"

#include <obs.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <system_error>

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

struct FileCloser {
	void operator()(FILE *file) const { std::fclose(file); }
};

// The body as the HTTP layer pulls it: the framing's head, then the file, then its tail.
// Exactly the declared number of file bytes is read; a file that turns out shorter fails.
class BodyStream {
public:
	BodyStream(FILE *file, uint64_t content_length, MultipartFraming framing)
	    : file_(file), content_left_(content_length), framing_(std::move(framing))
	{
	}

	size_t read(char *out, size_t size)
	{
		size_t filled = 0;
		while (filled < size) {
			if (head_done_ < framing_.head.size()) {
				filled += take(framing_.head, head_done_, out + filled, size - filled);
			} else if (content_left_ > 0) {
				const size_t want = size_t(std::min<uint64_t>(content_left_, size - filled));
				const size_t got = std::fread(out + filled, 1, want, file_);
				if (got == 0) {
					failed_ = true;
					return platform::http_body_failed;
				}
				content_left_ -= got;
				filled += got;
			} else if (tail_done_ < framing_.tail.size()) {
				filled += take(framing_.tail, tail_done_, out + filled, size - filled);
			} else {
				break;
			}
		}
		return filled;
	}
	bool failed() const { return failed_; }

private:
	static size_t take(const std::string &text, size_t &done, char *out, size_t room)
	{
		const size_t n = std::min(text.size() - done, room);
		std::memcpy(out, text.data() + done, n);
		done += n;
		return n;
	}

	FILE *file_;
	uint64_t content_left_;
	MultipartFraming framing_;
	size_t head_done_ = 0;
	size_t tail_done_ = 0;
	bool failed_ = false;
};

// Statuses worth sending again: the server is there but could not take it now.
bool worth_retrying(uint32_t status)
{
	return status == 0 || status == 408 || status == 429 || (status >= 500 && status <= 599);
}

bool file_is_gone(const std::string &file_path)
{
	std::error_code error;
	return !std::filesystem::exists(std::filesystem::u8path(file_path), error) && !error;
}

UploadResult upload(const std::string &file_path, const std::string &server_url, platform::HttpCancel *cancel,
		    platform::FileLock *held, const std::string &access_token, uint32_t *status)
{
	const auto endpoint = parse_server_url(server_url);
	if (!endpoint)
		return UploadResult::Hold;
	const AuthorizationHeader authorization = authorization_header_value(*endpoint, access_token);
	if (!authorization.ok) {
		blog(LOG_ERROR, "%s", authorization.refusal.c_str());
		return UploadResult::Hold;
	}

	// UTF-8, as the recording's path came from the host, opened through our own C runtime.
	std::unique_ptr<FILE, FileCloser> file(platform::open_file(file_path, "rb"));
	if (!file) {
		blog(LOG_ERROR, "[Brisvane] Failed to open file: %s", file_path.c_str());
		return file_is_gone(file_path) ? UploadResult::Gone : UploadResult::Retry;
	}
	std::error_code error;
	const uintmax_t size = std::filesystem::file_size(std::filesystem::u8path(file_path), error);
	if (error) {
		blog(LOG_ERROR, "[Brisvane] Failed to read file.");
		return file_is_gone(file_path) ? UploadResult::Gone : UploadResult::Retry;
	}
	const std::string file_name = multipart_file_name(file_path);
	if (uint64_t(size) > largest_body - multipart_body_length(file_name.size(), 0)) {
		blog(LOG_ERROR, "[Brisvane] File too large to upload, file kept: %s", file_path.c_str());
		return UploadResult::Hold;
	}
	// The file stays open while it is streamed: its length is declared from its size now.
	BodyStream body(file.get(), size, make_multipart_framing(file_name));

	platform::HttpPost request;
	request.host = endpoint->host;
	request.port = static_cast<uint16_t>(endpoint->port);
	request.path = endpoint->path;
	request.secure = endpoint->secure;
	request.user_agent = "OBS-Brisvane/1.0";
	request.header_text = multipart_header_text();
	request.authorization = authorization.value;
	request.read_body = [&body](char *out, size_t room) { return body.read(out, room); };
	request.body_length = multipart_body_length(file_name.size(), size_t(size));
	request.cancel = cancel;
	const platform::HttpOutcome outcome = platform::http_post(request);
	file.reset();

	if (!outcome.sent) {
		if (outcome.failure == platform::HttpFailure::BodyRead || body.failed()) {
			blog(LOG_ERROR, "[Brisvane] Failed to read file.");
			blog(LOG_WARNING, "[Brisvane] Upload failed, file kept: %s", file_path.c_str());
			return file_is_gone(file_path) ? UploadResult::Gone : UploadResult::Retry;
		}
		blog(LOG_ERROR, "[Brisvane] %s failed: %d", stage_call(outcome.failed_stage),
		     static_cast<int>(outcome.error));
		if (outcome.failed_stage == platform::HttpStage::Send)
			blog(LOG_WARNING, "[Brisvane] Upload failed, file kept: %s", file_path.c_str());
		switch (outcome.failure) {
		case platform::HttpFailure::Cancelled:
			return UploadResult::Cancelled;
		case platform::HttpFailure::Certificate:
		case platform::HttpFailure::BadTarget:
			return UploadResult::Hold;
		default:
			return UploadResult::Retry;
		}
	}
	blog(LOG_INFO, "[Brisvane] Upload complete. Status: %d", static_cast<int>(outcome.status));
	if (status)
		*status = outcome.status;
	// Only a 2xx means the server took the recording; anything else keeps it on disk.
	if (outcome.status < 200 || outcome.status > 299) {
		blog(LOG_WARNING, "[Brisvane] Upload failed, file kept: %s", file_path.c_str());
		return worth_retrying(outcome.status) ? UploadResult::Retry : UploadResult::Hold;
	}
	settle_delivered_take(file_path, server_url, held);
	return UploadResult::Delivered;
}

} // namespace

UploadResult upload_file(const std::string &file_path, const std::string &server_url, platform::HttpCancel *cancel,
			 platform::FileLock *held, const std::string &access_token, uint32_t *status)
{
	// Runs on a queue thread: nothing may escape it.
	try {
		return upload(file_path, server_url, cancel, held, access_token, status);
	} catch (const std::exception &e) {
		blog(LOG_ERROR, "[Brisvane] Upload aborted (%s), file kept: %s", e.what(), file_path.c_str());
	} catch (...) {
		blog(LOG_ERROR, "[Brisvane] Upload aborted, file kept: %s", file_path.c_str());
	}
	return UploadResult::Retry;
}
