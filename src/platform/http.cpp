// SPDX-License-Identifier: GPL-3.0-or-later
// What every HTTP layer shares.
#include "platform/http.hpp"

namespace platform {

HttpTimeouts &http_timeouts()
{
	static HttpTimeouts timeouts;
	return timeouts;
}

bool forges_headers(const HttpPost &request)
{
	for (const std::string *text :
	     {&request.path, &request.header_text, &request.authorization, &request.user_agent})
		if (text->find_first_of("\r\n") != std::string::npos)
			return true;
	return false;
}

} // namespace platform
