// SPDX-License-Identifier: GPL-3.0-or-later
#include "module/module-state.hpp"

obs_module_t *module_pointer = nullptr;
lookup_t *module_lookup = nullptr;
obs_source_info source_type_info = {};

const char *source_get_name(void *)
{
	// A name, not a phrase: the same in every language.
	return "Kavrel Assistant Uploader";
}

// The module's own text lookup, as OBS_MODULE_USE_DEFAULT_LOCALE would define it: the key
// itself stands in for a text no locale file holds.
const char *obs_module_text(const char *lookup_string)
{
	const char *text = lookup_string;
	text_lookup_getstr(module_lookup, lookup_string, &text);
	return text;
}
