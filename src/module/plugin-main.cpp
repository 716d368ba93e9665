// SPDX-License-Identifier: GPL-3.0-or-later
// The seven functions OBS looks up in the module file. Written by hand rather than with
// OBS_DECLARE_MODULE, whose helpers would add exports of their own.
#include "module/module-state.hpp"
#include "module/source-context.hpp"
#include "platform/http.hpp"
#include "recognition/model-cache.hpp"
#include "recording/take-file.hpp"
#include "upload/delivery-queue.hpp"

#include <util/platform.h>

#include <cstring>
#include <string>

#define BRISVANE_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

// Where the takes are written, and where those an earlier run left behind wait.
std::string take_folder()
{
	char dir[512] = "";
	os_get_config_path(dir, sizeof(dir), "obs-brisvane");
	return dir;
}

} // namespace

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
	platform::http_global_init();
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
	// Takes a crash or a kill left unfinished are finished on the queue's thread, before it
	// looks for takes to send.
	start_delivery(take_folder(), [](const std::string &folder) { recover_unfinished_takes(folder); });
	return true;
}

BRISVANE_EXPORT void obs_module_unload(void)
{
	stop_delivery();
	model_cache::wait_for_model_loads();
}
