// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>
#include <vector>

// Lower-cases Latin A-Z and Russian А-Я, Ё byte by byte; the result has the input's length.
std::string lowercase_keyword(const std::string &keyword);
// Splits at commas, trims spaces and tabs, drops empty pieces.
std::vector<std::string> split_keywords(const std::string &list);
enum class KeywordKind { Start, Stop };
// One match of a keyword in what was heard, and the words it touches.
struct KeywordOccurrence {
	KeywordKind kind = KeywordKind::Start;
	std::string keyword; // as written in the settings
	size_t first_word = 0;
	size_t last_word = 0;
};
// Every keyword match in text (words separated by single spaces), in the order spoken. A match
// may lie inside a longer word or span several words; words touched by a start match are not
// searched for stop keywords, and each word belongs to one match at most.
std::vector<KeywordOccurrence> find_keyword_occurrences(const std::string &start_keywords,
							const std::string &stop_keywords, const std::string &text);
