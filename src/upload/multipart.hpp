// SPDX-License-Identifier: GPL-3.0-or-later
// The single-part multipart/form-data body that carries one recording.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

// The one header line the upload adds itself, without line ending.
std::string multipart_header_text();

// What follows the last '/' or backslash of the path, or the whole path.
std::string multipart_file_name(const std::string &file_path);

// Body length for a file name of F bytes and N bytes of content: 171 + F + N.
size_t multipart_body_length(size_t file_name_length, size_t content_length);

// The whole body in one allocation, with a hole of content_length bytes left at
// content_offset for the caller to read the file into (so the file is held once).
struct MultipartBody {
	std::unique_ptr<char[]> bytes;
	size_t length = 0;
	size_t content_offset = 0;
	size_t content_length = 0;

	char *content() { return bytes.get() + content_offset; }
};
MultipartBody make_multipart_body(const std::string &file_name, size_t content_length);
