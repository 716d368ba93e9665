// SPDX-License-Identifier: GPL-3.0-or-later
// Knobs and counters of the stand-in libvosk (see vosk-standin.cpp).
#pragma once

extern "C" {
// What the stand-in saw.
int standin_accept_calls();
int standin_frees();
int standin_model_loads();
int standin_live_models();

// Every model load takes this long (also set by BRISVANE_STANDIN_LOAD_DELAY_MS at start-up).
void standin_set_load_delay_ms(int ms);
// Model loads wait while held, until released.
void standin_hold_loads(bool hold);
// Every accept call, i.e. every result, comes this late (also BRISVANE_STANDIN_ACCEPT_DELAY_MS).
void standin_set_accept_delay_ms(int ms);
// Accept calls wait while held, until released; standin_accept_calls counts them on entry.
void standin_hold_accepts(bool hold);
}
