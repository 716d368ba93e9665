// SPDX-License-Identifier: GPL-3.0-or-later
#include "store/take-recovery.hpp"

#include "platform/file-lock.hpp"
#include "platform/files.hpp"
#include "store/take-paths.hpp"
#include "store/take-record.hpp"
#include "store/wav-header.hpp"

#include <obs-module.h>

#include <array>
#include <ctime>
#include <exception>
#include <filesystem>

namespace {

// A file shorter than a header is one whose creator has not locked it yet, or one left by a
// crash at that very moment: only the latter is old.
constexpr int64_t headerless_age_seconds = 60;

void remove_take(platform::FileLock &lock, const std::string &path)
{
	lock.remove_file(path);
	forget_take_record(path);
}

// One unfinished take, locked by the caller: the finished path, or empty.
std::string recover_one(platform::FileLock &lock, const std::string &path, const std::string &dir)
{
	int64_t seconds = 0;
	if (!platform::file_modified_seconds(path, seconds))
		return {};
	std::error_code ec;
	const uint64_t size = std::filesystem::file_size(std::filesystem::u8path(path), ec);
	if (ec)
		return {};
	if (size < wav_header_size) {
		if (int64_t(std::time(nullptr)) - seconds > headerless_age_seconds)
			remove_take(lock, path);
		return {};
	}
	FILE *file = platform::open_file(path, "r+b");
	if (!file)
		return {};
	std::array<uint8_t, wav_header_size> header{};
	const bool read = std::fread(header.data(), 1, header.size(), file) == header.size();
	uint16_t channels = 2;
	uint32_t sample_rate = 48000;
	if (read) {
		channels = uint16_t(header[22] | header[23] << 8);
		sample_rate = uint32_t(header[24]) | uint32_t(header[25]) << 8 | uint32_t(header[26]) << 16 |
			      uint32_t(header[27]) << 24;
	}
	if (channels == 0)
		channels = 2;
	const uint64_t frame_bytes = uint64_t(channels) * 2;
	uint64_t values = (size - wav_header_size) / frame_bytes * channels;
	if (values > wav_max_samples(channels))
		values = wav_max_samples(channels);
	if (values == 0) {
		std::fclose(file);
		remove_take(lock, path);
		return {};
	}
	// A half-written last frame goes, so the file is an exact WAV.
	const auto fixed = make_wav_header(values, channels, sample_rate);
	bool ok = platform::truncate_open_file(file, wav_header_size + values * 2) && platform::seek_file(file, 0) &&
		  platform::write_file(file, fixed.data(), fixed.size());
	ok = std::fclose(file) == 0 && ok;
	if (!ok)
		return {};
	const auto record = read_take_record(path);
	std::string final_path = claim_final_name(path, dir, seconds, record ? record->server : TakeServer());
	if (final_path.empty())
		return {};
	blog(LOG_INFO, "[Kavrel Assistant] Recovered unfinished recording: %s", final_path.c_str());
	return final_path;
}

} // namespace

std::vector<std::string> recover_unfinished_takes(const std::string &dir)
{
	std::vector<std::string> recovered;
	try {
		std::vector<std::string> candidates;
		std::error_code ec;
		for (const auto &entry : std::filesystem::directory_iterator(std::filesystem::u8path(dir), ec)) {
			const std::string name = entry.path().filename().u8string();
			if (is_unfinished_take_name(name))
				candidates.push_back(dir + "/" + name);
		}
		for (const auto &path : candidates) {
			platform::FileLock lock;
			// Another process is writing it (or finishing it right now).
			if (!lock.try_lock(path))
				continue;
			std::string done = recover_one(lock, path, dir);
			if (!done.empty())
				recovered.push_back(std::move(done));
		}
		adopt_orphan_records(dir);
	} catch (const std::exception &e) {
		blog(LOG_ERROR, "[Kavrel Assistant] Recovering unfinished recordings failed: %s", e.what());
	}
	return recovered;
}
