// SPDX-License-Identifier: GPL-3.0-or-later
// Keyword splitting and lower-casing against straightforward readings of the rules.
#include "fuzz-support.hpp"

#include "recognition/keyword-control.hpp"

#include <cstdint>
#include <string>
#include <vector>

namespace {

std::vector<std::string> reference_split(const std::string &list)
{
	std::vector<std::string> pieces;
	std::string piece;
	auto flush = [&] {
		size_t b = 0, e = piece.size();
		while (b < e && (piece[b] == ' ' || piece[b] == '\t'))
			++b;
		while (e > b && (piece[e - 1] == ' ' || piece[e - 1] == '\t'))
			--e;
		if (e > b)
			pieces.push_back(piece.substr(b, e - b));
		piece.clear();
	};
	for (char c : list) {
		if (c == ',')
			flush();
		else
			piece += c;
	}
	flush();
	return pieces;
}

std::string reference_lowercase(const std::string &in)
{
	std::string out;
	for (size_t i = 0; i < in.size(); ++i) {
		const unsigned char b = static_cast<unsigned char>(in[i]);
		if (b >= 'A' && b <= 'Z') {
			out += char(b + 0x20);
			continue;
		}
		if (b == 0xD0 && i + 1 < in.size()) {
			const unsigned char n = static_cast<unsigned char>(in[i + 1]);
			if (n >= 0x90 && n <= 0x9F) { // А..П
				out += char(0xD0);
				out += char(n + 0x20);
				++i;
				continue;
			}
			if (n >= 0xA0 && n <= 0xAF) { // Р..Я
				out += char(0xD1);
				out += char(n - 0x20);
				++i;
				continue;
			}
			if (n == 0x81) { // Ё
				out += char(0xD1);
				out += char(0x91);
				++i;
				continue;
			}
		}
		out += char(b);
	}
	return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	const std::string text(reinterpret_cast<const char *>(data), size);

	const std::string lower = lowercase_keyword(text);
	fuzz::check(lower.size() == text.size(), "lower-casing changed the length");
	fuzz::check(lower == reference_lowercase(text), "lower-casing differs from the rules");
	fuzz::check(lowercase_keyword(lower) == lower, "lower-casing is not idempotent");

	const auto pieces = split_keywords(text);
	fuzz::check(pieces == reference_split(text), "split differs from the rules");
	for (const std::string &piece : pieces) {
		fuzz::check(!piece.empty(), "empty keyword");
		fuzz::check(piece.find(',') == std::string::npos, "comma inside a keyword");
	}
	return 0;
}
