// SPDX-License-Identifier: GPL-3.0-or-later
#include "recognition/keyword-control.hpp"

#include "module/source-context.hpp"
#include "recognition/recognised-text.hpp"
#include "recording/recording.hpp"

#include <exception>

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

void handle_locked(SourceContext *ctx, const std::string &text)
{
	const auto starts = split_keywords(ctx->start_keywords);
	// A start match ends the search, so a result holding both words never stops.
	if (const std::string *keyword = find_keyword(starts, text)) {
		if (ctx->recording)
			return;
		blog(LOG_INFO, "[Kavrel Assistant] Start keyword detected: %s", keyword->c_str());
		begin_recording(ctx);
		blog(LOG_INFO, "[Kavrel Assistant] Started recording...");
		play_start_sound();
		return;
	}
	const auto stops = split_keywords(ctx->stop_keywords);
	if (const std::string *keyword = find_keyword(stops, text)) {
		blog(LOG_INFO, "[Kavrel Assistant] Stop keyword detected: %s", keyword->c_str());
		finish_recording(ctx, StopCause::Keyword);
	}
}

} // namespace

void handle_recognition_result(SourceContext *ctx, const std::string &result)
{
	try {
		// Only the words heard are searched: the JSON around them holds keys such as "text"
		// in every result, silence included. Parsed before the lock the audio thread takes.
		const std::string text = recognised_text(result);
		std::lock_guard<std::mutex> lock(ctx->mutex);
		handle_locked(ctx, text);
	} catch (const std::exception &e) {
		blog(LOG_ERROR, "[Kavrel Assistant] Recognition result dropped: %s", e.what());
	} catch (...) {
		blog(LOG_ERROR, "[Kavrel Assistant] Recognition result dropped");
	}
}
