// SPDX-License-Identifier: GPL-3.0-or-later
// The header of a take's WAV file.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

constexpr size_t wav_header_size = 44;

// Canonical 44-byte RIFF/WAVE PCM header, 16 bits a sample, sizes modulo 2^32.
std::array<uint8_t, wav_header_size> make_wav_header(uint64_t sample_count, uint16_t channels, uint32_t sample_rate);

// The most 16-bit values, in whole frames, whose data and RIFF sizes the header can still
// state without wrapping.
uint64_t wav_max_samples(uint16_t channels);
