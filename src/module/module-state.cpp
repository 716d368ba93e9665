// SPDX-License-Identifier: GPL-3.0-or-later
#include "module/module-state.hpp"

obs_module_t *module_pointer = nullptr;
lookup_t *module_lookup = nullptr;
obs_source_info source_type_info = {};

const char *source_get_name(void *)
{
	return "Kavrel Assistant Uploader";
}
