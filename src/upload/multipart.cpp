// SPDX-License-Identifier: GPL-3.0-or-later
#include "upload/multipart.hpp"

#include <cstring>

namespace {

// Fixed; servers may rely on it, and the content is not scanned for it.
constexpr char boundary[] = "----WebKitFormBoundary7MA4YWxkTrZu0gW";
constexpr char disposition[] = "Content-Disposition: form-data; name=\"file\"; filename=\"";
constexpr char part_type[] = "\"\r\nContent-Type: audio/wav\r\n\r\n";

template<size_t N> constexpr size_t length_of(const char (&)[N])
{
	return N - 1;
}

// "--" boundary "\r\n" disposition ... name part_type
constexpr size_t head_length = 2 + length_of(boundary) + 2 + length_of(disposition) + length_of(part_type);
// "\r\n--" boundary "--\r\n"
constexpr size_t tail_length = 4 + length_of(boundary) + 4;
static_assert(head_length == 126 && tail_length == 45, "body layout");

char *put(char *out, const char *text, size_t length)
{
	std::memcpy(out, text, length);
	return out + length;
}

} // namespace

std::string multipart_header_text()
{
	return std::string("Content-Type: multipart/form-data; boundary=") + boundary;
}

std::string multipart_file_name(const std::string &file_path)
{
	const size_t separator = file_path.find_last_of("/\\");
	return separator == std::string::npos ? file_path : file_path.substr(separator + 1);
}

size_t multipart_body_length(size_t file_name_length, size_t content_length)
{
	return head_length + file_name_length + content_length + tail_length;
}

MultipartBody make_multipart_body(const std::string &file_name, size_t content_length)
{
	MultipartBody body;
	body.length = multipart_body_length(file_name.size(), content_length);
	// Left uninitialised: the content hole is about to be overwritten by the file.
	body.bytes.reset(new char[body.length]);
	char *out = body.bytes.get();
	out = put(out, "--", 2);
	out = put(out, boundary, length_of(boundary));
	out = put(out, "\r\n", 2);
	out = put(out, disposition, length_of(disposition));
	out = put(out, file_name.data(), file_name.size());
	out = put(out, part_type, length_of(part_type));
	body.content_offset = static_cast<size_t>(out - body.bytes.get());
	body.content_length = content_length;
	out += content_length;
	out = put(out, "\r\n--", 4);
	out = put(out, boundary, length_of(boundary));
	put(out, "--\r\n", 4);
	return body;
}
