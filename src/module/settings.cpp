// SPDX-License-Identifier: GPL-3.0-or-later
// Placeholder: settings and properties are built in the foundation work.
#include "module/source-context.hpp"

void source_update(void *, obs_data_t *) {}

void source_get_defaults(obs_data_t *) {}

obs_properties_t *source_get_properties(void *)
{
	return obs_properties_create();
}

bool add_audio_source_to_list(void *, obs_source_t *)
{
	return true;
}
