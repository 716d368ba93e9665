// SPDX-License-Identifier: GPL-3.0-or-later
#include "recording/audio-convert.hpp"

#include <algorithm>
#include <cmath>

namespace {
// x is finite here.
inline int16_t to_pcm16(float x)
{
	x = std::max(-1.0f, std::min(1.0f, x));
	return static_cast<int16_t>(x * 32767.0f);
}
} // namespace

int16_t convert_sample(float x)
{
	return std::isfinite(x) ? to_pcm16(x) : 0;
}

BlockEnergy convert_block(const float *const *planes, size_t max_planes, uint32_t frames, uint16_t channels,
			  int16_t *out)
{
	BlockEnergy energy;
	for (uint32_t j = 0; j < frames; ++j) {
		for (uint16_t k = 0; k < channels; ++k) {
			const float *plane = k < max_planes ? planes[k] : nullptr;
			float x = plane ? plane[j] : 0.0f;
			if (!std::isfinite(x))
				x = 0.0f;
			energy.sum += x * x;
			*out++ = to_pcm16(x);
		}
	}
	energy.count = uint64_t(frames) * channels;
	return energy;
}

float block_level_db(const BlockEnergy &energy)
{
	float rms = energy.count == 0 ? 0.0f : std::sqrt(energy.sum / static_cast<float>(energy.count));
	return 20.0f * std::log10(std::max(rms, 1e-5f));
}
