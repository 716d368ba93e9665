// SPDX-License-Identifier: GPL-3.0-or-later
#include "recognition/keyword-control.hpp"

#include <algorithm>

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

size_t word_at(const std::string &text, size_t at)
{
	size_t word = 0;
	for (size_t i = 0; i < at; ++i)
		word += text[i] == ' ';
	return word;
}

void add_matches(KeywordKind kind, const std::string &list, const std::string &text,
		 std::vector<KeywordOccurrence> &out)
{
	for (const auto &keyword : split_keywords(list)) {
		const std::string needle = lowercase_keyword(keyword);
		for (size_t at = text.find(needle); at != std::string::npos;
		     at = text.find(needle, at + needle.size())) {
			KeywordOccurrence found{kind, keyword, word_at(text, at),
						word_at(text, at + needle.size() - 1)};
			bool taken = false;
			for (const auto &other : out)
				taken = taken ||
					(found.first_word <= other.last_word && other.first_word <= found.last_word);
			if (!taken)
				out.push_back(std::move(found));
		}
	}
}

} // namespace

std::vector<KeywordOccurrence> find_keyword_occurrences(const std::string &start_keywords,
							const std::string &stop_keywords, const std::string &text)
{
	std::vector<KeywordOccurrence> out;
	add_matches(KeywordKind::Start, start_keywords, text, out);
	add_matches(KeywordKind::Stop, stop_keywords, text, out);
	std::sort(out.begin(), out.end(),
		  [](const KeywordOccurrence &a, const KeywordOccurrence &b) { return a.first_word < b.first_word; });
	return out;
}
