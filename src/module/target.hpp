// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>

struct SourceContext;

// The source an instance listens to is held weakly and found by its name: when the setting
// names another source, when a source is made under that name (after the user deleted the
// old one, or when OBS loads the scene collection in another order), and when one is renamed
// into it. A rename of the listened source carries its new name into the settings.

// Starts following libobs's source signals; before the first settings are applied.
void follow_target(SourceContext *ctx);
// Listens to the source of that name from now on (a name equal to the stored one changes
// nothing while its source is alive). Never called on the audio thread.
void set_target_name(SourceContext *ctx, const std::string &name);
// Stops following and detaches. Once it returns no signal handler of ctx runs any more.
void unfollow_target(SourceContext *ctx);
