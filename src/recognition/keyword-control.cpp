// SPDX-License-Identifier: GPL-3.0-or-later
// Placeholder: keyword control is built with the recording work.
#include "recognition/keyword-control.hpp"

std::string lowercase_keyword(const std::string &keyword)
{
	return keyword;
}
std::vector<std::string> split_keywords(const std::string &)
{
	return {};
}
void handle_recognition_result(SourceContext *, const std::string &) {}
