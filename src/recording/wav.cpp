// SPDX-License-Identifier: GPL-3.0-or-later
#include "recording/wav.hpp"
#include "platform/files.hpp"

#include "recording/recording.hpp"
#include "recording/sample-buffer.hpp"

#include <util/platform.h>

#include <cstdio>
#include <cstring>
#include <mutex>

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

// Past this many same-second files the plain name is reused rather than looping on.
constexpr unsigned max_name_attempts = 10000;

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

bool write_wav_file(const std::string &path, const SampleBuffer &samples, uint16_t channels, uint32_t sample_rate,
		    bool *created)
{
	if (created)
		*created = false;
	// UTF-8 like the host's paths, and our own C runtime, which does the writes.
	FILE *file = platform::open_file(path, "wb");
	if (!file)
		return false;
	if (created)
		*created = true;
	const auto header = make_wav_header(samples.size(), channels, sample_rate);
	bool written = std::fwrite(header.data(), 1, header.size(), file) == header.size();
	// Samples are stored in the host's byte order, which is little-endian on every target.
	samples.for_each_run([file, &written](const int16_t *run, size_t count) {
		if (written)
			written = std::fwrite(run, sizeof(int16_t), count, file) == count;
	});
	// A full disk often shows only when the buffer is flushed at close.
	const bool closed = std::fclose(file) == 0;
	return written && closed;
}

std::string recording_file_path(const std::string &dir, int64_t seconds, unsigned n)
{
	std::string path = dir + "/recording_" + std::to_string(seconds);
	if (n >= 2)
		path += "_" + std::to_string(n);
	return path + ".wav";
}

std::string choose_recording_path(const std::string &dir, int64_t seconds,
				  const std::function<bool(const std::string &)> &exists)
{
	for (unsigned n = 1; n <= max_name_attempts; ++n) {
		std::string path = recording_file_path(dir, seconds, n);
		if (!exists(path))
			return path;
	}
	return recording_file_path(dir, seconds);
}

std::string reserve_recording_path(const std::string &dir, int64_t seconds)
{
	static std::mutex naming_mutex;
	std::lock_guard<std::mutex> lock(naming_mutex);
	std::string path =
	    choose_recording_path(dir, seconds, [](const std::string &p) { return os_file_exists(p.c_str()); });
	if (FILE *file = platform::open_file(path, "wb"))
		std::fclose(file);
	return path;
}
