// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/files.hpp"

#include "platform/file-steps.hpp"

namespace platform {

bool write_file(FILE *file, const void *data, size_t size)
{
	if (!file_step("write"))
		return false;
	return std::fwrite(data, 1, size, file) == size;
}

bool flush_file(FILE *file)
{
	if (!file_step("flush"))
		return false;
	return std::fflush(file) == 0;
}

} // namespace platform
