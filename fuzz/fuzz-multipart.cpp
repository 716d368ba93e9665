// SPDX-License-Identifier: GPL-3.0-or-later
// The multipart body: its length rule, its framing around any name and content, and the
// file name taken from any path.
#include "fuzz-support.hpp"

#include "upload/multipart.hpp"

#include <cstdint>
#include <string>

namespace {

const std::string boundary = "----WebKitFormBoundary7MA4YWxkTrZu0gW";

std::string reference_name(const std::string &path)
{
	size_t start = 0;
	for (size_t i = 0; i < path.size(); ++i)
		if (path[i] == '/' || path[i] == '\\')
			start = i + 1;
	return path.substr(start);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	// The first byte splits the input into a path and the file's content.
	if (size == 0)
		return 0;
	const size_t split = std::min<size_t>(data[0], size - 1);
	const std::string path(reinterpret_cast<const char *>(data + 1), split);
	const std::string content(reinterpret_cast<const char *>(data + 1 + split), size - 1 - split);

	const std::string name = multipart_file_name(path);
	fuzz::check(name == reference_name(path), "file name");

	const MultipartFraming framing = make_multipart_framing(name);
	const std::string body = framing.head + content + framing.tail;
	fuzz::check(body.size() == 171 + name.size() + content.size(), "length rule");
	fuzz::check(body.size() == multipart_body_length(name.size(), content.size()), "length function");
	fuzz::check(framing.head.size() == 126 + name.size(), "content offset");

	const std::string want = "--" + boundary + "\r\n" +
				 "Content-Disposition: form-data; name=\"file\"; filename=\"" + name + "\"\r\n" +
				 "Content-Type: audio/wav\r\n\r\n" + content + "\r\n--" + boundary + "--\r\n";
	fuzz::check(body == want, "framing");
	fuzz::check(multipart_header_text() == "Content-Type: multipart/form-data; boundary=" + boundary,
		    "header text");
	return 0;
}
