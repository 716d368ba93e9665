// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <obs-module.h>

// Module-wide state written by the host's start-up and shut-down path.
extern obs_module_t *module_pointer;
extern lookup_t *module_lookup;
extern obs_source_info source_type_info;

const char *source_get_name(void *type_data);
