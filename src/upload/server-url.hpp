// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <optional>
#include <string>

struct ServerEndpoint {
	std::string host;
	int32_t port = 80;
	std::string path = "/";
	bool secure = false;
};

// Logs exactly one line in every case.
std::optional<ServerEndpoint> parse_server_url(const std::string &server_url);
