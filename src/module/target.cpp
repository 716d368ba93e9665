// SPDX-License-Identifier: GPL-3.0-or-later
// Attaching to the listened source and following it through libobs's global signals, which
// arrive on whatever thread creates or renames a source.
#include "module/target.hpp"

#include "module/callback-guard.hpp"
#include "module/source-context.hpp"
#include "recording/recording.hpp"

#include <cstring>
#include <string>
#include <vector>

namespace {

// References let go of only once update_mutex is released: dropping the last one destroys
// the source there and then, and that may reach back into this instance.
class Deferred {
public:
	~Deferred()
	{
		for (obs_source_t *source : sources_)
			obs_source_release(source);
		for (obs_weak_source_t *weak : weak_)
			obs_weak_source_release(weak);
	}
	obs_source_t *keep(obs_source_t *source)
	{
		if (source)
			sources_.push_back(source);
		return source;
	}
	void keep(obs_weak_source_t *weak)
	{
		if (weak)
			weak_.push_back(weak);
	}

private:
	std::vector<obs_source_t *> sources_;
	std::vector<obs_weak_source_t *> weak_;
};

bool may_listen_to(const SourceContext *ctx, obs_source_t *source)
{
	// Our own sources carry no audio, and one listening to the other could never let go.
	const char *id = obs_source_get_id(source);
	return source != ctx->source && !(id && std::strcmp(id, "brisvane") == 0);
}

// The listened source while it is alive and not deleted by the user, else null.
obs_source_t *live_target(SourceContext *ctx, Deferred &later)
{
	obs_source_t *source = later.keep(obs_weak_source_get_source(ctx->target));
	return source && !obs_source_removed(source) ? source : nullptr;
}

// The host runs capture callbacks under a lock of its own that adding and removing one take
// too, and the capture callback takes ctx->mutex: neither call may be made holding it.
void detach(SourceContext *ctx, Deferred &later)
{
	obs_weak_source_t *old = nullptr;
	{
		std::lock_guard<std::mutex> lock(ctx->mutex);
		old = ctx->target;
		ctx->target = nullptr;
	}
	if (!old)
		return;
	later.keep(old);
	if (obs_source_t *source = later.keep(obs_weak_source_get_source(old)))
		obs_source_remove_audio_capture_callback(source, audio_capture_callback, ctx);
}

void attach(SourceContext *ctx, obs_source_t *source, const std::string &name)
{
	obs_weak_source_t *weak = obs_source_get_weak_source(source);
	{
		std::lock_guard<std::mutex> lock(ctx->mutex);
		ctx->target = weak;
	}
	obs_source_add_audio_capture_callback(source, audio_capture_callback, ctx);
	blog(LOG_INFO, "[Kavrel Assistant] Listening to source: %s", name.c_str());
}

// The copy is made, and the old name freed, outside the lock the audio thread takes.
void store_name(SourceContext *ctx, std::string name)
{
	std::lock_guard<std::mutex> lock(ctx->mutex);
	ctx->target_source_name.swap(name);
}

// A source now bears this name: it becomes the target if the name is the stored one and
// nothing alive is listened to under it. The caller holds update_mutex.
void offer_source(SourceContext *ctx, obs_source_t *source, const std::string &name, Deferred &later)
{
	if (name.empty() || name != ctx->target_source_name || !may_listen_to(ctx, source))
		return;
	if (live_target(ctx, later))
		return;
	detach(ctx, later);
	attach(ctx, source, name);
}

void on_source_create(void *data, calldata_t *call)
{
	auto *ctx = static_cast<SourceContext *>(data);
	run_guarded("Following the listened source", [&] {
		auto *source = static_cast<obs_source_t *>(calldata_ptr(call, "source"));
		const char *name = source ? obs_source_get_name(source) : nullptr;
		if (!name)
			return;
		Deferred later;
		std::lock_guard<std::mutex> update_lock(ctx->update_mutex);
		offer_source(ctx, source, name, later);
	});
}

void on_source_rename(void *data, calldata_t *call)
{
	auto *ctx = static_cast<SourceContext *>(data);
	run_guarded("Following the listened source", [&] {
		auto *source = static_cast<obs_source_t *>(calldata_ptr(call, "source"));
		const char *new_name = calldata_string(call, "new_name");
		if (!source || !new_name)
			return;
		Deferred later;
		std::lock_guard<std::mutex> update_lock(ctx->update_mutex);
		if (!ctx->target || !obs_weak_source_references_source(ctx->target, source)) {
			offer_source(ctx, source, new_name, later);
			return;
		}
		// The listened source keeps being heard under its new name, also after a restart.
		store_name(ctx, new_name);
		obs_data_t *settings = obs_source_get_settings(ctx->source);
		obs_data_set_string(settings, "target_source", new_name);
		obs_data_release(settings);
	});
}

} // namespace

void follow_target(SourceContext *ctx)
{
	signal_handler_t *signals = obs_get_signal_handler();
	signal_handler_connect(signals, "source_create", on_source_create, ctx);
	signal_handler_connect(signals, "source_rename", on_source_rename, ctx);
}

void set_target_name(SourceContext *ctx, const std::string &name)
{
	Deferred later;
	// Two changes of one instance never interleave their detach and attach.
	std::lock_guard<std::mutex> update_lock(ctx->update_mutex);
	// The same name keeps an alive target, and a name whose source never existed is left to
	// the signals; a deleted target is looked up again.
	if (name == ctx->target_source_name && (!ctx->target || live_target(ctx, later)))
		return;
	detach(ctx, later);
	store_name(ctx, name);
	// A source the user deleted can linger under its name while something still holds it.
	obs_source_t *source = later.keep(obs_get_source_by_name(name.c_str()));
	if (source && may_listen_to(ctx, source) && !obs_source_removed(source))
		attach(ctx, source, name);
}

void unfollow_target(SourceContext *ctx)
{
	signal_handler_t *signals = obs_get_signal_handler();
	// Waits for a handler running on another thread to finish.
	signal_handler_disconnect(signals, "source_create", on_source_create, ctx);
	signal_handler_disconnect(signals, "source_rename", on_source_rename, ctx);
	Deferred later;
	std::lock_guard<std::mutex> update_lock(ctx->update_mutex);
	detach(ctx, later);
}
