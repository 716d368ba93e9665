// SPDX-License-Identifier: GPL-3.0-or-later
#include "recognition/recognition-result.hpp"

#include <obs-data.h>

#include <cmath>

uint64_t FeedClock::position(double seconds) const noexcept
{
	if (!(seconds > 0.0))
		return ring_offset;
	return ring_offset + uint64_t(std::llround(seconds * rate));
}

namespace {

size_t word_count(const std::string &text)
{
	if (text.empty())
		return 0;
	size_t n = 1;
	for (char c : text)
		n += c == ' ';
	return n;
}

void read_words(obs_data_t *data, const char *key, const FeedClock &clock, RecognitionResult &out)
{
	obs_data_array_t *list = obs_data_get_array(data, key);
	if (!list)
		return;
	const size_t n = obs_data_array_count(list);
	// A list that does not follow the text word for word cannot place its words.
	if (n == word_count(out.text)) {
		out.words.resize(n);
		for (size_t i = 0; i < n; ++i) {
			obs_data_t *word = obs_data_array_item(list, i);
			out.words[i].begin = clock.position(obs_data_get_double(word, "start"));
			out.words[i].end = clock.position(obs_data_get_double(word, "end"));
			obs_data_release(word);
		}
	}
	obs_data_array_release(list);
}

} // namespace

bool parse_recognition_result(const std::string &json, const FeedClock &clock, RecognitionResult &out)
{
	out.text.clear();
	out.words.clear();
	obs_data_t *data = obs_data_create_from_json(json.c_str());
	if (!data)
		return false;
	bool found = false;
	for (const char *key : {"text", "partial"}) {
		if (obs_data_has_user_value(data, key)) {
			const char *value = obs_data_get_string(data, key);
			out.text = value ? value : "";
			out.final = key[0] == 't';
			found = true;
			break;
		}
	}
	if (found)
		read_words(data, out.final ? "result" : "partial_result", clock, out);
	obs_data_release(data);
	return found;
}
