// SPDX-License-Identifier: GPL-3.0-or-later
#include "store/take-file.hpp"

#include "platform/files.hpp"
#include "store/take-paths.hpp"
#include "store/take-record.hpp"
#include "store/wav-header.hpp"

namespace {

// Past this many names in one second the create gives up rather than loop for ever.
constexpr unsigned max_name_attempts = 10000;
// Large writes: a second of stereo at 48 kHz is 192 KB.
constexpr size_t write_buffer_bytes = 256 * 1024;

bool write_header(FILE *file, uint64_t values, uint16_t channels, uint32_t sample_rate)
{
	const auto header = make_wav_header(values, channels, sample_rate);
	return platform::seek_file(file, 0) && platform::write_file(file, header.data(), header.size());
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

bool TakeFile::create(const std::string &dir, int64_t seconds, uint16_t channels, uint32_t sample_rate,
		      const TakeServer &server)
{
	close();
	channels_ = channels ? channels : 1;
	sample_rate_ = sample_rate;
	frames_ = 0;
	failed_ = false;
	// Calls that failed with the name free: time after time, that is a folder we cannot write.
	unsigned failures = 0;
	for (unsigned n = 1; n <= max_name_attempts; ++n) {
		const std::string path = unfinished_file_path(dir, seconds, n);
		FILE *file = platform::create_new_file(path);
		if (!file) {
			if (platform::file_exists(path))
				continue;
			// The take it lost the name to may have been finished (renamed) meanwhile: the
			// name is free again.
			if (++failures > 3)
				return false;
			--n;
			continue;
		}
		// Locked before the header is written: recovery leaves a file without one alone.
		if (!lock_.try_lock(path)) {
			std::fclose(file);
			// Recovery of another process took it in between: its name is gone. Otherwise
			// the empty file we made is ours to remove.
			if (lock_.contended())
				continue;
			platform::delete_file(path);
			if (++failures > 3)
				return false;
			--n;
			continue;
		}
		std::setvbuf(file, nullptr, _IOFBF, write_buffer_bytes);
		// A file that cannot take its header would lose the whole take: try another.
		if (!write_header(file, 0, channels_, sample_rate_) || !platform::flush_file(file)) {
			std::fclose(file);
			lock_.remove_file(path);
			if (++failures > 3)
				return false;
			--n;
			continue;
		}
		file_ = file;
		path_ = path;
		set_server(server);
		return true;
	}
	return false;
}

bool TakeFile::set_server(const TakeServer &server)
{
	return file_ && write_take_record(path_, TakeRecord{server, false, {}});
}

bool TakeFile::append(const int16_t *interleaved, size_t frames)
{
	if (!file_ || failed_)
		return false;
	// Samples are stored in the host's byte order, which is little-endian on every target.
	if (!platform::write_file(file_, interleaved, frames * channels_ * sizeof(int16_t))) {
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
	if (!platform::flush_file(file_) || !write_header(file_, frames_ * channels_, channels_, sample_rate_) ||
	    !platform::flush_file(file_) || !platform::seek_file(file_, wav_header_size + frames_ * channels_ * 2)) {
		failed_ = true;
		return false;
	}
	return true;
}

bool TakeFile::finish(const std::string &dir, int64_t seconds, const TakeServer &server, std::string &final_path)
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
			const uint64_t on_disk = platform::file_length(file);
			const uint64_t frame_bytes = uint64_t(channels_) * 2;
			const uint64_t frames =
			    on_disk > wav_header_size ? (on_disk - wav_header_size) / frame_bytes : 0;
			write_header(file, frames * channels_, channels_, sample_rate_);
			std::fclose(file);
		}
	}
	final_path = claim_final_name(path_, dir, seconds, server);
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
	lock_.remove_file(path_);
	forget_take_record(path_);
}
