// SPDX-License-Identifier: GPL-3.0-or-later
// The single-part multipart/form-data body that carries one recording.
#pragma once

#include <cstddef>
#include <string>

// The one header line the upload adds itself, without line ending.
std::string multipart_header_text();

// What follows the last '/' or backslash of the path, or the whole path.
std::string multipart_file_name(const std::string &file_path);

// Body length for a file name of F bytes and N bytes of content: 171 + F + N.
size_t multipart_body_length(size_t file_name_length, size_t content_length);

// What goes before and after the file's content; the content itself is streamed from the
// file between them, so an upload never holds the file in memory.
struct MultipartFraming {
	std::string head;
	std::string tail;
};
MultipartFraming make_multipart_framing(const std::string &file_name);
