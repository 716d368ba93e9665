// SPDX-License-Identifier: GPL-3.0-or-later
// A stand-in obs.dll for running the plug-in under wine, where there is no Windows libobs.
// It is compiled against the real libobs headers, so every signature the plug-in imports is
// checked, and exported through the same list as the plug-in's import library. It hosts no
// sources: it keeps the registered type, a module data folder, settings and log lines.
#include <windows.h>

#include <obs-module.h>
#include <util/base.h>
#include <util/bmem.h>
#include <util/platform.h>
#include <util/text-lookup.h>

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "obs-standin.h"

static CRITICAL_SECTION state_lock;
static char data_dir[MAX_PATH];
static char config_dir[MAX_PATH];
static struct obs_source_info registered;
static size_t registered_size;
static int registrations;
static LONG live_lookups;
static LONG live_properties;
static log_handler_t log_handler;
static void *log_param;

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
	(void)instance;
	(void)reserved;
	if (reason == DLL_PROCESS_ATTACH)
		InitializeCriticalSection(&state_lock);
	return TRUE;
}

/* ---- memory and log ---- */

void *bmalloc(size_t size)
{
	return malloc(size ? size : 1);
}

void bfree(void *ptr)
{
	free(ptr);
}

void *bmemdup(const void *ptr, size_t size)
{
	void *copy = bmalloc(size);
	if (copy && size)
		memcpy(copy, ptr, size);
	return copy;
}

static char *dup_string(const char *text)
{
	return bmemdup(text, strlen(text) + 1);
}

void base_set_log_handler(log_handler_t handler, void *param)
{
	EnterCriticalSection(&state_lock);
	log_handler = handler;
	log_param = param;
	LeaveCriticalSection(&state_lock);
}

void base_get_log_handler(log_handler_t *handler, void **param)
{
	EnterCriticalSection(&state_lock);
	*handler = log_handler;
	*param = log_param;
	LeaveCriticalSection(&state_lock);
}

void blogva(int log_level, const char *format, va_list args)
{
	log_handler_t handler;
	void *param;
	base_get_log_handler(&handler, &param);
	if (handler) {
		handler(log_level, format, args, param);
		return;
	}
	vfprintf(stderr, format, args);
	fputc('\n', stderr);
}

void blog(int log_level, const char *format, ...)
{
	va_list args;
	va_start(args, format);
	blogva(log_level, format, args);
	va_end(args);
}

/* ---- module files and locale ---- */

// libobs takes UTF-8 paths on Windows.
static bool widen(const char *utf8, wchar_t *out, int size)
{
	return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, -1, out, size) != 0;
}

static bool path_exists(const char *path)
{
	wchar_t wide[MAX_PATH * 2];
	return widen(path, wide, MAX_PATH * 2) && GetFileAttributesW(wide) != INVALID_FILE_ATTRIBUTES;
}

char *obs_find_module_file(obs_module_t *module, const char *file)
{
	(void)module;
	char path[MAX_PATH * 2];
	EnterCriticalSection(&state_lock);
	int n = data_dir[0] ? snprintf(path, sizeof(path), "%s/%s", data_dir, file) : -1;
	LeaveCriticalSection(&state_lock);
	if (n < 0 || (size_t)n >= sizeof(path) || !path_exists(path))
		return NULL;
	return dup_string(path);
}

char *obs_module_get_config_path(obs_module_t *module, const char *file)
{
	(void)module;
	char path[MAX_PATH * 2];
	EnterCriticalSection(&state_lock);
	snprintf(path, sizeof(path), "%s/%s", config_dir, file ? file : "");
	LeaveCriticalSection(&state_lock);
	return dup_string(path);
}

int os_get_config_path(char *dst, size_t size, const char *name)
{
	EnterCriticalSection(&state_lock);
	int n = snprintf(dst, size, "%s/%s", config_dir, name ? name : "");
	LeaveCriticalSection(&state_lock);
	return n < 0 || (size_t)n >= size ? -1 : n;
}

bool os_file_exists(const char *path)
{
	return path_exists(path);
}

FILE *os_fopen(const char *path, const char *mode)
{
	wchar_t wide_path[MAX_PATH * 2];
	wchar_t wide_mode[16];
	if (!widen(path, wide_path, MAX_PATH * 2) || !widen(mode, wide_mode, 16))
		return NULL;
	return _wfopen(wide_path, wide_mode);
}

int os_mkdirs(const char *path)
{
	wchar_t buffer[MAX_PATH * 2];
	if (!widen(path, buffer, MAX_PATH * 2))
		return MKDIR_ERROR;
	for (wchar_t *p = buffer + 1; *p; p++) {
		if (*p == L'/' || *p == L'\\') {
			wchar_t keep = *p;
			*p = 0;
			CreateDirectoryW(buffer, NULL);
			*p = keep;
		}
	}
	if (CreateDirectoryW(buffer, NULL) || GetLastError() == ERROR_ALREADY_EXISTS)
		return MKDIR_SUCCESS;
	return MKDIR_ERROR;
}

uint64_t os_gettime_ns(void)
{
	LARGE_INTEGER now, frequency;
	QueryPerformanceCounter(&now);
	QueryPerformanceFrequency(&frequency);
	return (uint64_t)((double)now.QuadPart * 1e9 / (double)frequency.QuadPart);
}

struct text_lookup {
	char default_locale[16];
};

lookup_t *obs_module_load_locale(obs_module_t *module, const char *default_locale, const char *locale)
{
	(void)module;
	(void)locale;
	lookup_t *lookup = calloc(1, sizeof(*lookup));
	snprintf(lookup->default_locale, sizeof(lookup->default_locale), "%s", default_locale);
	InterlockedIncrement(&live_lookups);
	return lookup;
}

void text_lookup_destroy(lookup_t *lookup)
{
	if (!lookup)
		return;
	free(lookup);
	InterlockedDecrement(&live_lookups);
}

bool text_lookup_getstr(lookup_t *lookup, const char *lookup_val, const char **out)
{
	(void)lookup;
	(void)lookup_val;
	(void)out;
	return false;
}

/* ---- source type, sources, audio, hotkeys ---- */

void obs_register_source_s(const struct obs_source_info *info, size_t size)
{
	EnterCriticalSection(&state_lock);
	memset(&registered, 0, sizeof(registered));
	memcpy(&registered, info, size < sizeof(registered) ? size : sizeof(registered));
	registered_size = size;
	registrations++;
	LeaveCriticalSection(&state_lock);
}

// One audio source the tests can name and push blocks through; its capture callbacks run
// on the pushing thread, as the host's audio thread runs them.
struct obs_source {
	int unused;
};
static struct obs_source audio_source;
static char audio_source_name[256];
static obs_source_audio_capture_t capture_callback;
static void *capture_param;
static LONG capture_attached;

obs_source_t *obs_get_source_by_name(const char *name)
{
	EnterCriticalSection(&state_lock);
	bool match = name && audio_source_name[0] && strcmp(name, audio_source_name) == 0;
	LeaveCriticalSection(&state_lock);
	return match ? &audio_source : NULL;
}

void obs_source_release(obs_source_t *source)
{
	(void)source;
}

const char *obs_source_get_id(const obs_source_t *source)
{
	return source == &audio_source ? "standin_audio" : NULL;
}

bool obs_source_removed(const obs_source_t *source)
{
	(void)source;
	return false;
}

const char *obs_source_get_name(const obs_source_t *source)
{
	return source == &audio_source ? audio_source_name : NULL;
}

uint32_t obs_source_get_output_flags(const obs_source_t *source)
{
	return source == &audio_source ? OBS_SOURCE_AUDIO : 0;
}

// The one source has one weak reference; neither is counted.
struct obs_weak_source {
	obs_source_t *source;
};
static struct obs_weak_source audio_source_weak = {&audio_source};

obs_weak_source_t *obs_source_get_weak_source(obs_source_t *source)
{
	return source == &audio_source ? &audio_source_weak : NULL;
}

obs_source_t *obs_weak_source_get_source(obs_weak_source_t *weak)
{
	return weak ? weak->source : NULL;
}

void obs_weak_source_release(obs_weak_source_t *weak)
{
	(void)weak;
}

bool obs_weak_source_references_source(obs_weak_source_t *weak, obs_source_t *source)
{
	return weak && weak->source == source;
}

// Sources here never change their settings: a fresh object each time.
obs_data_t *obs_source_get_settings(const obs_source_t *source)
{
	(void)source;
	return obs_data_create();
}

void obs_enum_sources(bool (*enum_proc)(void *, obs_source_t *), void *param)
{
	if (audio_source_name[0])
		enum_proc(param, &audio_source);
}

void obs_source_add_audio_capture_callback(obs_source_t *source, obs_source_audio_capture_t callback, void *param)
{
	if (source != &audio_source)
		return;
	EnterCriticalSection(&state_lock);
	capture_callback = callback;
	capture_param = param;
	capture_attached++;
	LeaveCriticalSection(&state_lock);
}

void obs_source_remove_audio_capture_callback(obs_source_t *source, obs_source_audio_capture_t callback, void *param)
{
	if (source != &audio_source)
		return;
	EnterCriticalSection(&state_lock);
	if (capture_callback == callback && capture_param == param) {
		capture_callback = NULL;
		capture_param = NULL;
		capture_attached--;
	}
	LeaveCriticalSection(&state_lock);
}

static struct audio_output_info audio_info = {"stand-in",      48000, AUDIO_FORMAT_FLOAT_PLANAR,
					      SPEAKERS_STEREO, NULL,  NULL};

audio_t *obs_get_audio(void)
{
	return (audio_t *)&audio_info;
}

const struct audio_output_info *audio_output_get_info(const audio_t *audio)
{
	return audio ? &audio_info : NULL;
}

uint32_t audio_output_get_sample_rate(const audio_t *audio)
{
	return audio ? audio_info.samples_per_sec : 0;
}

size_t audio_output_get_channels(const audio_t *audio)
{
	return audio ? 2 : 0;
}

static obs_hotkey_id last_hotkey = OBS_INVALID_HOTKEY_ID;
static obs_hotkey_func hotkey_func;
static void *hotkey_data;

obs_hotkey_id obs_hotkey_register_source(obs_source_t *source, const char *name, const char *description,
					 obs_hotkey_func func, void *data)
{
	(void)source;
	(void)name;
	(void)description;
	EnterCriticalSection(&state_lock);
	last_hotkey = last_hotkey == OBS_INVALID_HOTKEY_ID ? 1 : last_hotkey + 1;
	hotkey_func = func;
	hotkey_data = data;
	obs_hotkey_id id = last_hotkey;
	LeaveCriticalSection(&state_lock);
	return id;
}

void obs_hotkey_unregister(obs_hotkey_id id)
{
	EnterCriticalSection(&state_lock);
	if (id == last_hotkey) {
		hotkey_func = NULL;
		hotkey_data = NULL;
	}
	LeaveCriticalSection(&state_lock);
}

/* ---- signals: connections counted, nothing ever signalled ---- */

struct signal_handler {
	int unused;
};
static struct signal_handler global_signals;
static LONG live_connections;

signal_handler_t *obs_get_signal_handler(void)
{
	return &global_signals;
}

void signal_handler_connect(signal_handler_t *handler, const char *signal, signal_callback_t callback, void *data)
{
	(void)handler;
	(void)signal;
	(void)callback;
	(void)data;
	InterlockedIncrement(&live_connections);
}

void signal_handler_disconnect(signal_handler_t *handler, const char *signal, signal_callback_t callback, void *data)
{
	(void)handler;
	(void)signal;
	(void)callback;
	(void)data;
	InterlockedDecrement(&live_connections);
}

bool calldata_get_data(const calldata_t *data, const char *name, void *out, size_t size)
{
	(void)data;
	(void)name;
	(void)out;
	(void)size;
	return false;
}

bool calldata_get_string(const calldata_t *data, const char *name, const char **str)
{
	(void)data;
	(void)name;
	(void)str;
	return false;
}

/* ---- properties: counted, never shown ---- */

struct obs_properties {
	int unused;
};
struct obs_property {
	int unused;
};
static struct obs_property any_property;

obs_properties_t *obs_properties_create(void)
{
	InterlockedIncrement(&live_properties);
	return calloc(1, sizeof(obs_properties_t));
}

void obs_properties_destroy(obs_properties_t *props)
{
	if (!props)
		return;
	free(props);
	InterlockedDecrement(&live_properties);
}

obs_property_t *obs_properties_add_text(obs_properties_t *props, const char *name, const char *description,
					enum obs_text_type type)
{
	(void)props;
	(void)name;
	(void)description;
	(void)type;
	return &any_property;
}

obs_property_t *obs_properties_add_button(obs_properties_t *props, const char *name, const char *text,
					  obs_property_clicked_t callback)
{
	(void)props;
	(void)name;
	(void)text;
	(void)callback;
	return &any_property;
}

void obs_property_set_description(obs_property_t *p, const char *description)
{
	(void)p;
	(void)description;
}

obs_property_t *obs_properties_get(obs_properties_t *props, const char *property)
{
	(void)props;
	(void)property;
	return NULL;
}

void obs_source_update_properties(obs_source_t *source)
{
	(void)source;
}

const char *obs_get_module_data_path(obs_module_t *module)
{
	(void)module;
	return data_dir;
}

obs_property_t *obs_properties_add_bool(obs_properties_t *props, const char *name, const char *description)
{
	(void)props;
	(void)name;
	(void)description;
	return &any_property;
}

obs_property_t *obs_properties_add_int(obs_properties_t *props, const char *name, const char *description, int min,
				       int max, int step)
{
	(void)props;
	(void)name;
	(void)description;
	(void)min;
	(void)max;
	(void)step;
	return &any_property;
}

obs_property_t *obs_properties_add_float(obs_properties_t *props, const char *name, const char *description, double min,
					 double max, double step)
{
	(void)props;
	(void)name;
	(void)description;
	(void)min;
	(void)max;
	(void)step;
	return &any_property;
}

obs_property_t *obs_properties_add_float_slider(obs_properties_t *props, const char *name, const char *description,
						double min, double max, double step)
{
	return obs_properties_add_float(props, name, description, min, max, step);
}

obs_property_t *obs_properties_add_list(obs_properties_t *props, const char *name, const char *description,
					enum obs_combo_type type, enum obs_combo_format format)
{
	(void)props;
	(void)name;
	(void)description;
	(void)type;
	(void)format;
	return &any_property;
}

size_t obs_property_list_add_string(obs_property_t *p, const char *name, const char *val)
{
	(void)p;
	(void)name;
	(void)val;
	return 0;
}

/* ---- settings: a small list of typed values ---- */

enum value_kind { KIND_STRING, KIND_INT, KIND_DOUBLE, KIND_BOOL };

struct data_item {
	char *name;
	bool is_default; // replaced by any value the host sets
	enum value_kind kind;
	char *string;
	long long integer;
	double number;
	bool flag;
	struct data_item *next;
};

struct obs_data {
	struct data_item *items;
};

obs_data_t *obs_data_create(void)
{
	return calloc(1, sizeof(obs_data_t));
}

void obs_data_release(obs_data_t *data)
{
	if (!data)
		return;
	for (struct data_item *item = data->items, *next; item; item = next) {
		next = item->next;
		free(item->name);
		free(item->string);
		free(item);
	}
	free(data);
}

static struct data_item *find_item(obs_data_t *data, const char *name)
{
	for (struct data_item *item = data ? data->items : NULL; item; item = item->next)
		if (strcmp(item->name, name) == 0)
			return item;
	return NULL;
}

static struct data_item *set_item(obs_data_t *data, const char *name, enum value_kind kind)
{
	struct data_item *item = find_item(data, name);
	if (!item) {
		item = calloc(1, sizeof(*item));
		item->name = dup_string(name);
		item->next = data->items;
		data->items = item;
	}
	free(item->string);
	item->string = NULL;
	item->kind = kind;
	item->is_default = false;
	return item;
}

// A default only fills a value the host has not set.
static struct data_item *set_default_item(obs_data_t *data, const char *name, enum value_kind kind)
{
	struct data_item *item = find_item(data, name);
	if (item && !item->is_default)
		return NULL;
	item = set_item(data, name, kind);
	item->is_default = true;
	return item;
}

void obs_data_set_default_string(obs_data_t *data, const char *name, const char *val)
{
	struct data_item *item = set_default_item(data, name, KIND_STRING);
	if (item)
		item->string = dup_string(val ? val : "");
}

void obs_data_set_default_int(obs_data_t *data, const char *name, long long val)
{
	struct data_item *item = set_default_item(data, name, KIND_INT);
	if (item)
		item->integer = val;
}

void obs_data_set_default_double(obs_data_t *data, const char *name, double val)
{
	struct data_item *item = set_default_item(data, name, KIND_DOUBLE);
	if (item)
		item->number = val;
}

void obs_data_set_default_bool(obs_data_t *data, const char *name, bool val)
{
	struct data_item *item = set_default_item(data, name, KIND_BOOL);
	if (item)
		item->flag = val;
}

void obs_data_set_string(obs_data_t *data, const char *name, const char *val)
{
	set_item(data, name, KIND_STRING)->string = dup_string(val ? val : "");
}

void obs_data_set_int(obs_data_t *data, const char *name, long long val)
{
	set_item(data, name, KIND_INT)->integer = val;
}

void obs_data_set_double(obs_data_t *data, const char *name, double val)
{
	set_item(data, name, KIND_DOUBLE)->number = val;
}

void obs_data_set_bool(obs_data_t *data, const char *name, bool val)
{
	set_item(data, name, KIND_BOOL)->flag = val;
}

const char *obs_data_get_string(obs_data_t *data, const char *name)
{
	struct data_item *item = find_item(data, name);
	return item && item->kind == KIND_STRING ? item->string : "";
}

long long obs_data_get_int(obs_data_t *data, const char *name)
{
	struct data_item *item = find_item(data, name);
	if (!item)
		return 0;
	return item->kind == KIND_INT ? item->integer : item->kind == KIND_DOUBLE ? (long long)item->number : 0;
}

double obs_data_get_double(obs_data_t *data, const char *name)
{
	struct data_item *item = find_item(data, name);
	if (!item)
		return 0.0;
	return item->kind == KIND_DOUBLE ? item->number : item->kind == KIND_INT ? (double)item->integer : 0.0;
}

bool obs_data_get_bool(obs_data_t *data, const char *name)
{
	struct data_item *item = find_item(data, name);
	return item && item->kind == KIND_BOOL && item->flag;
}

bool obs_data_has_user_value(obs_data_t *data, const char *name)
{
	struct data_item *item = find_item(data, name);
	return item && !item->is_default;
}

// No recognition result reaches a keyword here (those run against the real libobs on Linux):
// nothing is ever read from JSON.
obs_data_t *obs_data_create_from_json(const char *json)
{
	(void)json;
	return NULL;
}

// Nor a word list.
obs_data_array_t *obs_data_get_array(obs_data_t *data, const char *name)
{
	(void)data;
	(void)name;
	return NULL;
}

size_t obs_data_array_count(obs_data_array_t *array)
{
	(void)array;
	return 0;
}

obs_data_t *obs_data_array_item(obs_data_array_t *array, size_t idx)
{
	(void)array;
	(void)idx;
	return NULL;
}

void obs_data_array_release(obs_data_array_t *array)
{
	(void)array;
}

// Debian's util/threading.h does not build for Windows: declared here as libobs has it.
void os_set_thread_name(const char *name);
void os_set_thread_name(const char *name)
{
	(void)name;
}

/* ---- control for the tests ---- */

void standin_set_data_dir(const char *path)
{
	EnterCriticalSection(&state_lock);
	snprintf(data_dir, sizeof(data_dir), "%s", path ? path : "");
	LeaveCriticalSection(&state_lock);
}

void standin_set_config_dir(const char *path)
{
	EnterCriticalSection(&state_lock);
	snprintf(config_dir, sizeof(config_dir), "%s", path ? path : "");
	LeaveCriticalSection(&state_lock);
}

int standin_registered_source(struct obs_source_info *out, size_t *size)
{
	EnterCriticalSection(&state_lock);
	int count = registrations;
	*out = registered;
	*size = registered_size;
	LeaveCriticalSection(&state_lock);
	return count;
}

void standin_set_audio_source_name(const char *name)
{
	EnterCriticalSection(&state_lock);
	snprintf(audio_source_name, sizeof(audio_source_name), "%s", name ? name : "");
	LeaveCriticalSection(&state_lock);
}

bool standin_push_audio(const struct audio_data *audio)
{
	EnterCriticalSection(&state_lock);
	obs_source_audio_capture_t callback = capture_callback;
	void *param = capture_param;
	LeaveCriticalSection(&state_lock);
	if (!callback)
		return false;
	callback(param, &audio_source, audio, false);
	return true;
}

bool standin_press_hotkey(bool pressed)
{
	EnterCriticalSection(&state_lock);
	obs_hotkey_func func = hotkey_func;
	void *data = hotkey_data;
	obs_hotkey_id id = last_hotkey;
	LeaveCriticalSection(&state_lock);
	if (!func)
		return false;
	func(data, id, NULL, pressed);
	return true;
}

long standin_live_lookups(void)
{
	return InterlockedCompareExchange(&live_lookups, 0, 0);
}

long standin_live_signal_connections(void)
{
	return InterlockedCompareExchange(&live_connections, 0, 0);
}

long standin_live_properties(void)
{
	return InterlockedCompareExchange(&live_properties, 0, 0);
}
