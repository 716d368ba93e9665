// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>

// What Vosk heard, from the JSON text of one of its results: the value of "text" (a final
// result) or else of "partial" (a hypothesis), unescaped; empty when it has neither.
std::string recognised_text(const std::string &json);
