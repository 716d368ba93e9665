// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// What the stand-in libvosk saw.
extern "C" int standin_accept_calls();
extern "C" int standin_frees();
