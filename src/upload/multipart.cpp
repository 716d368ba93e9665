// SPDX-License-Identifier: GPL-3.0-or-later
#include "upload/multipart.hpp"

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

MultipartFraming make_multipart_framing(const std::string &file_name)
{
	MultipartFraming framing;
	framing.head.reserve(head_length + file_name.size());
	framing.head.append("--").append(boundary).append("\r\n").append(disposition);
	framing.head.append(file_name).append(part_type);
	framing.tail.append("\r\n--").append(boundary).append("--\r\n");
	return framing;
}
