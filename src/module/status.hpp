// SPDX-License-Identifier: GPL-3.0-or-later
// What the Properties window shows of one source beside its settings: a status made when the
// window opens, and three buttons (check the server, send kept takes now, open the folder).
#pragma once

#include <obs-module.h>

#include <mutex>
#include <optional>
#include <string>

#include "takes/takes-service.hpp"

struct SourceContext;

// What the buttons leave for the status to show. Shared with the server check's thread, which
// may outlive the source.
struct ButtonNews {
	std::mutex mutex;
	bool checking = false;
	std::optional<ServerCheckResult> check;
	std::optional<size_t> resent;
};

// A few short lines in the UI's language; never waits on a take, a model, the disk or the
// network, and shows no secret.
std::string status_text(SourceContext *ctx);
// Adds the buttons and the status to the source's properties (the status only with an instance).
void add_status_properties(obs_properties_t *props, SourceContext *ctx);
