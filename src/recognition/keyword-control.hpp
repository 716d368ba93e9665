// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>
#include <vector>

// Lower-cases Latin A-Z and Russian А-Я, Ё byte by byte; the result has the input's length.
std::string lowercase_keyword(const std::string &keyword);
// Splits at commas, trims spaces and tabs, drops empty pieces.
std::vector<std::string> split_keywords(const std::string &list);
enum class KeywordKind { None, Start, Stop };
struct KeywordMatch {
	KeywordKind kind = KeywordKind::None;
	std::string keyword; // as written in the settings
};
// Which keyword a recognition result holds: start keywords are looked for first.
KeywordMatch match_keywords(const std::string &start_keywords, const std::string &stop_keywords,
			    const std::string &text);
