// SPDX-License-Identifier: GPL-3.0-or-later
// The seven functions OBS looks up in the module file. Written by hand rather than with
// OBS_DECLARE_MODULE, whose helpers would add exports of their own.
#include "module/module-state.hpp"
#include "module/source-context.hpp"
#include "takes/takes-service.hpp"

#include <cstring>

#define BRISVANE_EXPORT extern "C" __attribute__((visibility("default")))

BRISVANE_EXPORT void obs_module_set_pointer(obs_module_t *module)
{
	module_pointer = module;
}

BRISVANE_EXPORT uint32_t obs_module_ver(void)
{
	return LIBOBS_API_VER;
}

BRISVANE_EXPORT void obs_module_set_locale(const char *locale)
{
	if (module_lookup)
		text_lookup_destroy(module_lookup);
	module_lookup = obs_module_load_locale(module_pointer, "en-US", locale);
}

BRISVANE_EXPORT void obs_module_free_locale(void)
{
	text_lookup_destroy(module_lookup);
	module_lookup = nullptr;
}

BRISVANE_EXPORT bool obs_module_get_string(const char *lookup_string, const char **translated_string)
{
	return text_lookup_getstr(module_lookup, lookup_string, translated_string);
}

BRISVANE_EXPORT bool obs_module_load(void)
{
	std::memset(&source_type_info, 0, sizeof(source_type_info));
	source_type_info.id = "brisvane";
	source_type_info.type = OBS_SOURCE_TYPE_INPUT;
	source_type_info.output_flags = OBS_SOURCE_DO_NOT_DUPLICATE;
	source_type_info.get_name = source_get_name;
	source_type_info.create = source_create;
	source_type_info.destroy = source_destroy;
	source_type_info.get_defaults = source_get_defaults;
	source_type_info.get_properties = source_get_properties;
	source_type_info.update = source_update;
	source_type_info.save = source_save;
	source_type_info.load = source_load;
	obs_register_source(&source_type_info);
	takes_service::start();
	return true;
}

BRISVANE_EXPORT void obs_module_unload(void)
{
	takes_service::stop();
}
