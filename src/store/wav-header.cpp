// SPDX-License-Identifier: GPL-3.0-or-later
#include "store/wav-header.hpp"

#include <cstring>

namespace {

void put_u16(uint8_t *p, uint16_t v)
{
	p[0] = uint8_t(v);
	p[1] = uint8_t(v >> 8);
}

void put_u32(uint8_t *p, uint32_t v)
{
	for (int i = 0; i < 4; ++i)
		p[i] = uint8_t(v >> (8 * i));
}

} // namespace

std::array<uint8_t, wav_header_size> make_wav_header(uint64_t sample_count, uint16_t channels, uint32_t sample_rate)
{
	const uint32_t data_size = uint32_t(sample_count * 2);
	std::array<uint8_t, wav_header_size> h{};
	std::memcpy(&h[0], "RIFF", 4);
	put_u32(&h[4], data_size + 36u);
	std::memcpy(&h[8], "WAVE", 4);
	std::memcpy(&h[12], "fmt ", 4);
	put_u32(&h[16], 16);
	put_u16(&h[20], 1);
	put_u16(&h[22], channels);
	put_u32(&h[24], sample_rate);
	put_u32(&h[28], sample_rate * uint32_t(channels) * 2u);
	put_u16(&h[32], uint16_t(channels * 2u));
	put_u16(&h[34], 16);
	std::memcpy(&h[36], "data", 4);
	put_u32(&h[40], data_size);
	return h;
}

uint64_t wav_max_samples(uint16_t channels)
{
	const uint64_t values = (uint64_t(UINT32_MAX) - 36) / 2;
	return channels == 0 ? values : values / channels * channels;
}
