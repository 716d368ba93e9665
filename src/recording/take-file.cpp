// SPDX-License-Identifier: GPL-3.0-or-later
#include "recording/take-file.hpp"

#include "platform/files.hpp"
#include "recording/wav.hpp"
#include "upload/take-server.hpp"

#include <obs-module.h>

#include <algorithm>
#include <array>
#include <ctime>
#include <exception>
#include <filesystem>
#include <mutex>

namespace {

// Past this many names in one second the claim gives up rather than loop for ever.
constexpr unsigned max_name_attempts = 10000;
// Large writes: a second of stereo at 48 kHz is 192 KB.
constexpr size_t write_buffer_bytes = 256 * 1024;
// A file shorter than a header is one whose creator has not locked it yet, or one left by a
// crash at that very moment: only the latter is old.
constexpr int64_t headerless_age_seconds = 60;

std::string unfinished_path(const std::string &dir, int64_t seconds, unsigned n)
{
	std::string path = dir + "/unfinished_" + std::to_string(seconds);
	if (n >= 2)
		path += "_" + std::to_string(n);
	return path + ".wav";
}

bool seek_to(FILE *file, uint64_t offset)
{
#ifdef _WIN32
	return _fseeki64(file, static_cast<long long>(offset), SEEK_SET) == 0;
#else
	return fseeko(file, off_t(offset), SEEK_SET) == 0;
#endif
}

// Bytes the file holds on disk (what could not be flushed does not count).
uint64_t length_of(FILE *file)
{
#ifdef _WIN32
	if (_fseeki64(file, 0, SEEK_END) != 0)
		return 0;
	const long long at = _ftelli64(file);
#else
	if (fseeko(file, 0, SEEK_END) != 0)
		return 0;
	const off_t at = ftello(file);
#endif
	return at > 0 ? uint64_t(at) : 0;
}

bool write_header(FILE *file, uint64_t values, uint16_t channels, uint32_t sample_rate)
{
	const auto header = make_wav_header(values, channels, sample_rate);
	return seek_to(file, 0) && std::fwrite(header.data(), 1, header.size(), file) == header.size();
}

} // namespace

TakeFile::~TakeFile()
{
	close();
}

void TakeFile::close()
{
	if (file_)
		std::fclose(file_);
	file_ = nullptr;
	lock_.unlock();
}

bool TakeFile::create(const std::string &dir, int64_t seconds, uint16_t channels, uint32_t sample_rate)
{
	close();
	channels_ = channels ? channels : 1;
	sample_rate_ = sample_rate;
	frames_ = 0;
	failed_ = false;
	unsigned vanished = 0;
	for (unsigned n = 1; n <= max_name_attempts; ++n) {
		const std::string path = unfinished_path(dir, seconds, n);
		FILE *file = platform::create_new_file(path);
		if (!file) {
			if (platform::file_exists(path))
				continue;
			// The take it lost the name to may have been finished (renamed) meanwhile: the
			// name is free again. Failing with the name free time after time is a folder we
			// cannot write.
			if (++vanished > 3)
				return false;
			--n;
			continue;
		}
		// Locked before the header is written: recovery leaves a file without one alone.
		if (!lock_.try_lock(path)) {
			std::fclose(file);
			continue; // recovery of another process took it in between: try the next name
		}
		std::setvbuf(file, nullptr, _IOFBF, write_buffer_bytes);
		file_ = file;
		path_ = path;
		if (!write_header(file_, 0, channels_, sample_rate_) || std::fflush(file_) != 0)
			failed_ = true;
		return true;
	}
	return false;
}

bool TakeFile::seek(uint64_t offset)
{
	if (!failed_ && !seek_to(file_, offset))
		failed_ = true;
	return !failed_;
}

bool TakeFile::append(const int16_t *interleaved, size_t frames)
{
	if (!file_ || failed_)
		return false;
	// Samples are stored in the host's byte order, which is little-endian on every target.
	const size_t values = frames * channels_;
	if (std::fwrite(interleaved, sizeof(int16_t), values, file_) != values) {
		failed_ = true;
		return false;
	}
	frames_ += frames;
	return true;
}

bool TakeFile::truncate(uint64_t frames)
{
	if (!file_ || failed_ || frames >= frames_)
		return !failed_;
	if (!platform::truncate_open_file(file_, wav_header_size + frames * channels_ * 2)) {
		failed_ = true;
		return false;
	}
	frames_ = frames;
	return true;
}

bool TakeFile::update_header()
{
	if (!file_ || failed_)
		return false;
	// Data first, so the header never states more than the disk holds.
	if (std::fflush(file_) != 0 || !write_header(file_, frames_ * channels_, channels_, sample_rate_) ||
	    std::fflush(file_) != 0 || !seek(wav_header_size + frames_ * channels_ * 2)) {
		failed_ = true;
		return false;
	}
	return true;
}

bool TakeFile::finish(const std::string &dir, int64_t seconds, std::string &final_path)
{
	final_path.clear();
	if (!file_)
		return false;
	// A failed take is still completed as far as the disk lets us: its header then states
	// whatever did reach the file.
	bool written = !failed_ && update_header();
	written = std::fclose(file_) == 0 && written;
	file_ = nullptr;
	if (!written) {
		// Whatever the disk did take is kept, its header stating exactly that, in whole frames.
		if (FILE *file = platform::open_file(path_, "r+b")) {
			const uint64_t on_disk = length_of(file);
			const uint64_t frame_bytes = uint64_t(channels_) * 2;
			const uint64_t frames =
			    on_disk > wav_header_size ? (on_disk - wav_header_size) / frame_bytes : 0;
			write_header(file, frames * channels_, channels_, sample_rate_);
			std::fclose(file);
		}
	}
	final_path = claim_recording_name(path_, dir, seconds);
	if (!final_path.empty())
		move_take_server(path_, final_path);
	// Held until the name is claimed: recovery in another process must not take it meanwhile.
	lock_.unlock();
	return written;
}

void TakeFile::discard()
{
	if (!file_)
		return;
	std::fclose(file_);
	file_ = nullptr;
	platform::delete_file(path_);
	forget_take_server(path_);
	lock_.unlock();
}

bool is_unfinished_take_name(const std::string &name)
{
	const std::string prefix = "unfinished_", suffix = ".wav";
	return name.size() > prefix.size() + suffix.size() && name.compare(0, prefix.size(), prefix) == 0 &&
	       name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
}

namespace {

// The names this process handed out, per folder and second: the next claim in that second
// starts past them, also after their takes were delivered and deleted (a server that stores
// by file name would lose the first). A few seconds are remembered; a second falls out only
// when many later ones were named after it.
struct Claimed {
	std::string dir;
	int64_t seconds = 0;
	unsigned next = 0; // 0: unused
	uint64_t age = 0;
};
std::mutex claimed_mutex;
std::array<Claimed, 16> claimed;
uint64_t claims = 0;

Claimed &claimed_for(const std::string &dir, int64_t seconds)
{
	Claimed *oldest = &claimed[0];
	for (Claimed &c : claimed) {
		if (c.next != 0 && c.seconds == seconds && c.dir == dir)
			return c;
		if (c.age < oldest->age)
			oldest = &c;
	}
	oldest->dir.assign(dir);
	oldest->seconds = seconds;
	oldest->next = 1;
	oldest->age = ++claims;
	return *oldest;
}

} // namespace

std::string claim_recording_name(const std::string &from, const std::string &dir, int64_t seconds)
{
	unsigned n = 1;
	{
		std::lock_guard<std::mutex> lock(claimed_mutex);
		n = claimed_for(dir, seconds).next;
	}
	unsigned vanished = 0;
	while (n <= max_name_attempts) {
		const std::string to = recording_file_path(dir, seconds, n);
		if (platform::rename_no_replace(from, to)) {
			std::lock_guard<std::mutex> lock(claimed_mutex);
			Claimed &c = claimed_for(dir, seconds);
			c.next = std::max(c.next, n + 1);
			c.age = ++claims;
			return to;
		}
		if (!platform::file_exists(from))
			return {};
		if (platform::file_exists(to)) {
			++n;
			continue;
		}
		// The file it lost to went away meanwhile (its upload finished): the name is free
		// again. Failing with the name free time after time is the rename itself failing.
		if (++vanished > 3)
			return {};
	}
	return {};
}

namespace {

// One unfinished take, locked by the caller: the finished path, or empty.
std::string recover_one(const std::string &path, const std::string &dir)
{
	int64_t seconds = 0;
	if (!platform::file_modified_seconds(path, seconds))
		return {};
	std::error_code ec;
	const uint64_t size = std::filesystem::file_size(std::filesystem::u8path(path), ec);
	if (ec)
		return {};
	if (size < wav_header_size) {
		if (int64_t(std::time(nullptr)) - seconds > headerless_age_seconds) {
			platform::delete_file(path);
			forget_take_server(path);
		}
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
		platform::delete_file(path);
		forget_take_server(path);
		return {};
	}
	// A half-written last frame goes, so the file is an exact WAV.
	bool ok = platform::truncate_open_file(file, wav_header_size + values * 2) &&
		  write_header(file, values, channels, sample_rate);
	ok = std::fclose(file) == 0 && ok;
	if (!ok)
		return {};
	std::string final_path = claim_recording_name(path, dir, seconds);
	if (final_path.empty())
		return {};
	move_take_server(path, final_path);
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
			std::string done = recover_one(path, dir);
			if (!done.empty())
				recovered.push_back(std::move(done));
		}
	} catch (const std::exception &e) {
		blog(LOG_ERROR, "[Kavrel Assistant] Recovering unfinished recordings failed: %s", e.what());
	}
	return recovered;
}
