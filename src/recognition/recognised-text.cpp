// SPDX-License-Identifier: GPL-3.0-or-later
#include "recognition/recognised-text.hpp"

#include <obs-data.h>

std::string recognised_text(const std::string &json)
{
	obs_data_t *data = obs_data_create_from_json(json.c_str());
	if (!data)
		return {};
	std::string text;
	for (const char *key : {"text", "partial"}) {
		if (obs_data_has_user_value(data, key)) {
			const char *value = obs_data_get_string(data, key);
			text = value ? value : "";
			break;
		}
	}
	obs_data_release(data);
	return text;
}
