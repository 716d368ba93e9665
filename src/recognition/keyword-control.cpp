// SPDX-License-Identifier: GPL-3.0-or-later
#include "recognition/keyword-control.hpp"

std::string lowercase_keyword(const std::string &keyword)
{
	std::string out = keyword;
	const size_t n = out.size();
	for (size_t i = 0; i < n; ++i) {
		const auto b = static_cast<unsigned char>(out[i]);
		if (b >= 0x41 && b <= 0x5A) {
			out[i] = char(b + 0x20);
		} else if (b == 0xD0 && i + 1 < n) {
			const auto c = static_cast<unsigned char>(out[i + 1]);
			if (c >= 0x90 && c <= 0x9F) { // А-П
				out[i + 1] = char(c + 0x20);
				++i;
			} else if (c >= 0xA0 && c <= 0xAF) { // Р-Я
				out[i] = char(0xD1);
				out[i + 1] = char(c - 0x20);
				++i;
			} else if (c == 0x81) { // Ё
				out[i] = char(0xD1);
				out[i + 1] = char(0x91);
				++i;
			}
			// Any other byte after 0xD0 is looked at on its own in the next round.
		}
	}
	return out;
}

std::vector<std::string> split_keywords(const std::string &list)
{
	std::vector<std::string> out;
	size_t begin = 0;
	while (begin <= list.size()) {
		size_t end = list.find(',', begin);
		if (end == std::string::npos)
			end = list.size();
		size_t first = begin, last = end;
		while (first < last && (list[first] == ' ' || list[first] == '\t'))
			++first;
		while (last > first && (list[last - 1] == ' ' || list[last - 1] == '\t'))
			--last;
		if (last > first)
			out.emplace_back(list, first, last - first);
		begin = end + 1;
	}
	return out;
}

namespace {

// The keyword as written in the settings, or nullptr: first piece whose lower-cased form
// occurs anywhere in text.
const std::string *find_keyword(const std::vector<std::string> &keywords, const std::string &text)
{
	for (const auto &keyword : keywords)
		if (text.find(lowercase_keyword(keyword)) != std::string::npos)
			return &keyword;
	return nullptr;
}

} // namespace

KeywordMatch match_keywords(const std::string &start_keywords, const std::string &stop_keywords,
			    const std::string &text)
{
	// A start match ends the search, so a result holding both words never stops.
	const auto starts = split_keywords(start_keywords);
	if (const std::string *keyword = find_keyword(starts, text))
		return {KeywordKind::Start, *keyword};
	const auto stops = split_keywords(stop_keywords);
	if (const std::string *keyword = find_keyword(stops, text))
		return {KeywordKind::Stop, *keyword};
	return {};
}
