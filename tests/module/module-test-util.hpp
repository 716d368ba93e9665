// SPDX-License-Identifier: GPL-3.0-or-later
// Small helpers shared by the host tests of the source type.
#pragma once

#include "module/source-context.hpp"
#include "obs-host.hpp"
#include "recognition/recognizer-worker.hpp"
#include "audio/audio-ring.hpp"

#include <obs.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

namespace testutil {

struct SourceDeleter {
	void operator()(obs_source_t *s) const { obs_source_release(s); }
};
struct DataDeleter {
	void operator()(obs_data_t *d) const { obs_data_release(d); }
};
using SourcePtr = std::unique_ptr<obs_source_t, SourceDeleter>;
using DataPtr = std::unique_ptr<obs_data_t, DataDeleter>;

// The module's record behind one of its sources. The test binary shares the header, not the
// code, so only fields are read.
inline SourceContext *context_of(obs_source_t *source)
{
	return static_cast<SourceContext *>(obs_obj_get_data(source));
}

// Whether the instance listens to that source (it holds its target weakly).
inline bool listens_to(SourceContext *ctx, obs_source_t *source)
{
	return ctx->target && obs_weak_source_references_source(ctx->target, source);
}

inline DataPtr settings_with_target(const char *target)
{
	DataPtr settings(obs_data_create());
	if (target)
		obs_data_set_string(settings.get(), "target_source", target);
	return settings;
}

inline SourcePtr create_uploader(const char *name, obs_data_t *settings = nullptr)
{
	return SourcePtr(obs_source_create("brisvane", name, settings, nullptr));
}

// Waits until the source's model has loaded in the background and recognition follows its
// audio; false if it has no recogniser or the model never loads.
inline bool wait_until_listening(SourceContext *ctx)
{
	if (!ctx || !ctx->takes)
		return false;
	for (int i = 0; i < 60000 && !ctx->takes->listening(); ++i)
		std::this_thread::sleep_for(std::chrono::milliseconds(1));
	return ctx->takes->listening();
}

// Releases the source and lets the host finish destroying it.
inline void destroy(SourcePtr &source)
{
	source.reset();
	testhost::ObsHost::barrier();
}

} // namespace testutil
