// SPDX-License-Identifier: GPL-3.0-or-later
// The WAV file of one recording and its name in the configuration directory.
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

// "<dir>/recording_<seconds>.wav", or "<dir>/recording_<seconds>_<n>.wav" for n >= 2.
std::string recording_file_path(const std::string &dir, int64_t seconds, unsigned n = 1);
// Most 16-bit values one take keeps (never more than a WAV header can state). Process-wide;
// tests lower it.
uint64_t &recording_sample_limit();
