// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>
#include <vector>

struct SourceContext;

// Lower-cases Latin A-Z and Russian А-Я, Ё byte by byte; the result has the input's length.
std::string lowercase_keyword(const std::string &keyword);
// Splits at commas, trims spaces and tabs, drops empty pieces.
std::vector<std::string> split_keywords(const std::string &list);
// The worker's result callback for one instance, given Vosk's JSON text: runs the start and
// stop transitions for the keywords found in what was heard.
void handle_recognition_result(SourceContext *ctx, const std::string &result);
