// SPDX-License-Identifier: GPL-3.0-or-later
#include "audio/audio-convert.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

// Branch-free so the per-channel loops vectorise: NaN and infinities become 0.
inline float finite_or_zero(float x)
{
	return std::fabs(x) <= std::numeric_limits<float>::max() ? x : 0.0f;
}

// x is finite here.
inline int16_t to_pcm16(float x)
{
	x = x < 1.0f ? x : 1.0f;
	x = x > -1.0f ? x : -1.0f;
	return static_cast<int16_t>(static_cast<int32_t>(x * 32767.0f));
}

} // namespace

int16_t convert_sample(float x)
{
	return to_pcm16(finite_or_zero(x));
}

BlockEnergy convert_block(const float *const *planes, size_t max_planes, uint32_t frames, uint16_t channels,
			  int16_t *out, bool measure)
{
	auto plane_of = [&](uint16_t k) { return k < max_planes ? planes[k] : nullptr; };
	const float *left = plane_of(0), *right = channels == 2 ? plane_of(1) : nullptr;
	if (left && right) {
		// The usual stereo block, written so the compiler can vectorise it.
		for (uint32_t j = 0; j < frames; ++j) {
			out[2 * size_t(j)] = to_pcm16(finite_or_zero(left[j]));
			out[2 * size_t(j) + 1] = to_pcm16(finite_or_zero(right[j]));
		}
	} else {
		for (uint16_t k = 0; k < channels; ++k) {
			const float *plane = plane_of(k);
			int16_t *o = out + k;
			if (plane) {
				for (uint32_t j = 0; j < frames; ++j)
					o[size_t(j) * channels] = to_pcm16(finite_or_zero(plane[j]));
			} else {
				for (uint32_t j = 0; j < frames; ++j)
					o[size_t(j) * channels] = 0;
			}
		}
	}

	BlockEnergy energy;
	energy.count = uint64_t(frames) * channels;
	if (!measure)
		return energy;
	// One running single-precision sum in frame-then-channel order: the level must not
	// depend on how the loop is arranged.
	if (left && right) {
		for (uint32_t j = 0; j < frames; ++j) {
			const float l = finite_or_zero(left[j]), r = finite_or_zero(right[j]);
			energy.sum += l * l;
			energy.sum += r * r;
		}
		return energy;
	}
	for (uint32_t j = 0; j < frames; ++j) {
		for (uint16_t k = 0; k < channels; ++k) {
			const float *plane = plane_of(k);
			const float x = plane ? finite_or_zero(plane[j]) : 0.0f;
			energy.sum += x * x;
		}
	}
	return energy;
}

float block_level_db(const BlockEnergy &energy)
{
	float rms = energy.count == 0 ? 0.0f : std::sqrt(energy.sum / static_cast<float>(energy.count));
	return 20.0f * std::log10(std::max(rms, 1e-5f));
}
