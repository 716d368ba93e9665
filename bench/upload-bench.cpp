// SPDX-License-Identifier: GPL-3.0-or-later
// Posts one file the way a delivery queue thread does, for timing against other clients.
//   upload-bench FILE URL     exit 0 when the server took it (and the file is gone)
#include "platform/files.hpp"
#include "platform/http.hpp"
#include "upload/upload.hpp"

#include <util/base.h>

#include <cstdarg>
#include <cstdio>

namespace {

void print_line(int, const char *format, va_list args, void *)
{
	vfprintf(stderr, format, args);
	fputc('\n', stderr);
}

} // namespace

int main(int argc, char **argv)
{
	if (argc != 3) {
		fprintf(stderr, "usage: %s FILE URL\n", argv[0]);
		return 2;
	}
	base_set_log_handler(print_line, nullptr);
	platform::http_global_init();
	return upload_file(argv[1], argv[2]) == UploadResult::Delivered && !platform::file_exists(argv[1]) ? 0 : 1;
}
