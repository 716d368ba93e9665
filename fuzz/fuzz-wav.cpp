// SPDX-License-Identifier: GPL-3.0-or-later
// The take writer: whatever the samples, channel count, rate and cuts, the finished file's
// header states exactly what follows it, and the samples come back as they went in.
#include "fuzz-support.hpp"

#include "store/take-file.hpp"
#include "store/take-recovery.hpp"
#include "store/wav-header.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <cstdio>
#include <string>
#include <vector>

namespace {

std::string scratch_dir;
std::string scratch_path;

uint32_t u32(const uint8_t *p)
{
	return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

uint16_t u16(const uint8_t *p)
{
	return uint16_t(p[0] | p[1] << 8);
}

void remove_scratch()
{
	unlink(scratch_path.c_str());
	rmdir(scratch_dir.c_str());
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
	fuzz::quiet_log();
	// Memory-backed when the system has it: the target is about the bytes, not the disk.
	const char *dir = std::getenv("TMPDIR");
	if (!dir || !*dir)
		dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
	scratch_dir = std::string(dir) + "/brisvane-fuzz-wav-" + std::to_string(getpid());
	mkdir(scratch_dir.c_str(), 0700);
	std::atexit(remove_scratch);
	return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (size < 6)
		return 0;
	const uint16_t channels = u16(data);
	const uint32_t rate = u32(data + 2);
	// The rest are the samples, in whole frames; a long tail is repeated so the writer's
	// buffer fills more than once.
	const size_t repeat = size > 6 && data[6] == 0xFF ? 40 : 1;
	std::vector<int16_t> samples;
	for (size_t r = 0; r < repeat; ++r)
		for (size_t i = 6; i + 1 < size; i += 2)
			samples.push_back(int16_t(u16(data + i)));
	const size_t per_frame = channels ? channels : 1;
	samples.resize(samples.size() / per_frame * per_frame);
	const size_t frames = samples.size() / per_frame;

	// Written in two pieces with a header update between, and cut back when the input says
	// so (a stop heard after its audio was written).
	TakeFile take;
	fuzz::check(take.create(scratch_dir, 1, channels, rate, ""), "create refused");
	const size_t first = frames / 2;
	fuzz::check(take.append(samples.data(), first) && take.update_header(), "first piece");
	fuzz::check(take.append(samples.data() + first * per_frame, frames - first), "second piece");
	if (size > 7 && data[7] < 0x40 && frames > 0) {
		const size_t kept = data[7] % frames;
		fuzz::check(take.truncate(kept), "cut");
		samples.resize(kept * per_frame);
	}
	// A process never hands out a take name twice: each input finishes under a second of its own.
	static int64_t second = 0;
	++second;
	scratch_path = scratch_dir + "/recording_" + std::to_string(second) + ".wav";
	std::string final_path;
	fuzz::check(take.finish(scratch_dir, second, "", final_path) && final_path == scratch_path, "finish");

	std::vector<uint8_t> file(44 + samples.size() * 2 + 1);
	FILE *in = std::fopen(scratch_path.c_str(), "rb");
	fuzz::check(in != nullptr, "file missing");
	file.resize(std::fread(file.data(), 1, file.size(), in));
	std::fclose(in);
	unlink(scratch_path.c_str());
	fuzz::check(file.size() == 44 + samples.size() * 2, "file size");
	const uint8_t *h = file.data();
	fuzz::check(std::memcmp(h, "RIFF", 4) == 0 && std::memcmp(h + 8, "WAVEfmt ", 8) == 0 &&
			std::memcmp(h + 36, "data", 4) == 0,
		    "chunk ids");
	fuzz::check(u32(h + 4) == uint32_t(file.size() - 8), "RIFF size");
	fuzz::check(u32(h + 16) == 16 && u16(h + 20) == 1 && u16(h + 34) == 16, "format chunk");
	const uint16_t stated = uint16_t(per_frame); // a take has at least one channel
	fuzz::check(u16(h + 22) == stated && u32(h + 24) == rate, "channels and rate");
	fuzz::check(u32(h + 28) == uint32_t(rate * uint32_t(stated) * 2u), "byte rate");
	fuzz::check(u16(h + 32) == uint16_t(stated * 2u), "block align");
	fuzz::check(u32(h + 40) == uint32_t(samples.size() * 2), "data size");
	fuzz::check(samples.empty() || std::memcmp(h + 44, samples.data(), samples.size() * 2) == 0, "samples");

	// Sizes past 4 GiB wrap modulo 2^32, as the header can say no more.
	const uint64_t huge = (uint64_t(u32(data + 2)) << 2) | channels;
	const auto wrapped = make_wav_header(huge, channels, rate);
	fuzz::check(u32(&wrapped[40]) == uint32_t(huge * 2) && u32(&wrapped[4]) == uint32_t(huge * 2 + 36),
		    "sizes modulo 2^32");
	return 0;
}
