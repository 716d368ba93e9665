// SPDX-License-Identifier: GPL-3.0-or-later
// Placeholder: the instance lifecycle is built in the foundation work.
#include "module/source-context.hpp"
#include "recognition/recognizer-worker.hpp"

SourceContext::~SourceContext() = default;

void *source_create(obs_data_t *settings, obs_source_t *source)
{
	auto *ctx = new SourceContext();
	ctx->source = source;
	source_update(ctx, settings);
	return ctx;
}

void source_destroy(void *data)
{
	delete static_cast<SourceContext *>(data);
}

void source_save(void *, obs_data_t *) {}

void source_load(void *data, obs_data_t *settings)
{
	source_update(data, settings);
}
