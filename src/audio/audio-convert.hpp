// SPDX-License-Identifier: GPL-3.0-or-later
// Pure arithmetic of the capture path: no host, no locks, so tests can pin every edge.
#pragma once

#include <cstddef>
#include <cstdint>

// Full scale maps to +-32767; non-finite input counts as silence rather than undefined
// behaviour in the float-to-integer conversion.
int16_t convert_sample(float x);

struct BlockEnergy {
	float sum = 0.0f; // squared samples, single precision, in frame-then-channel order
	uint64_t count = 0;
};

// Interleaves planes[0..channels) into out (frames * channels values), frame-major. A null
// plane, or one past max_planes, reads as zeros. With measure, also returns the energy for
// the block's level (only the silence timer needs it; count is always set).
BlockEnergy convert_block(const float *const *planes, size_t max_planes, uint32_t frames, uint16_t channels,
			  int16_t *out, bool measure = true);

// Level of a block in dBFS; the floor makes silence (or an empty block) exactly -100 dB.
float block_level_db(const BlockEnergy &energy);

enum class SilenceStep {
	Loud,    // the block reset the quiet stretch
	Started, // first quiet block: only starts the clock
	Waiting, // quiet, but not long enough yet
	Stop,    // quiet for longer than the duration
};

// One block of the silence timer. started_ns is 0 while no quiet stretch is being timed.
// now() is only asked for on quiet blocks.
template<typename Clock>
SilenceStep silence_step(uint64_t &started_ns, float level_db, float threshold_db, int32_t duration_ms, Clock &&now)
{
	if (!(threshold_db > level_db)) {
		started_ns = 0;
		return SilenceStep::Loud;
	}
	if (started_ns == 0) {
		started_ns = now();
		return SilenceStep::Started;
	}
	const int64_t limit = int64_t(duration_ms) * 1000000;
	return uint64_t(now()) - started_ns > uint64_t(limit) ? SilenceStep::Stop : SilenceStep::Waiting;
}
