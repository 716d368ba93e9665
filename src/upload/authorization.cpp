// SPDX-License-Identifier: GPL-3.0-or-later
#include "upload/authorization.hpp"

namespace {

bool is_blank(char c)
{
	return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::string trimmed(const std::string &text)
{
	size_t begin = 0, end = text.size();
	while (begin < end && is_blank(text[begin]))
		++begin;
	while (end > begin && is_blank(text[end - 1]))
		--end;
	return text.substr(begin, end - begin);
}

AuthorizationHeader refused(const char *line)
{
	AuthorizationHeader header;
	header.ok = false;
	header.refusal = line;
	return header;
}

} // namespace

std::string base64(const std::string &bytes)
{
	static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
	std::string out;
	out.reserve((bytes.size() + 2) / 3 * 4);
	for (size_t i = 0; i < bytes.size(); i += 3) {
		const size_t left = bytes.size() - i;
		uint32_t block = uint32_t(static_cast<unsigned char>(bytes[i])) << 16;
		if (left > 1)
			block |= uint32_t(static_cast<unsigned char>(bytes[i + 1])) << 8;
		if (left > 2)
			block |= uint32_t(static_cast<unsigned char>(bytes[i + 2]));
		out += alphabet[block >> 18 & 63];
		out += alphabet[block >> 12 & 63];
		out += left > 1 ? alphabet[block >> 6 & 63] : '=';
		out += left > 2 ? alphabet[block & 63] : '=';
	}
	return out;
}

AuthorizationHeader authorization_header_value(const ServerEndpoint &endpoint, const std::string &access_token)
{
	const std::string token = trimmed(access_token);
	AuthorizationHeader header;
	if (!token.empty()) {
		for (char c : token) {
			const auto byte = static_cast<unsigned char>(c);
			if (byte < 0x20 || byte == 0x7f)
				return refused("[Brisvane] Invalid access token: it holds a control character");
			if (byte > 0x7f)
				return refused("[Brisvane] Invalid access token: it holds a character outside ASCII");
		}
		header.value = "Bearer " + token;
	} else if (endpoint.has_credentials) {
		header.value = "Basic " + base64(endpoint.user + ":" + endpoint.password);
	}
	return header;
}
