// SPDX-License-Identifier: GPL-3.0-or-later
// Servers that fail in the middle of an upload: every one ends in a clear line and the
// recording stays on disk, byte for byte.
#include "fault-server.hpp"
#include "fault-util.hpp"
#include "obs-host.hpp"
#include "platform/http.hpp"
#include "upload/upload.hpp"

#include <gtest/gtest.h>

#include <fstream>

using faults::FaultServer;
using testhost::Log;

namespace {

class ServerFaults : public testing::Test {
protected:
	static void SetUpTestSuite()
	{
		Log::install();
		platform::http_global_init();
		auto &timeouts = platform::http_timeouts();
		timeouts.connect_ms = 5000;
		timeouts.send_ms = 1000;
		timeouts.receive_ms = 500;
		timeouts.response_ms = 500;
	}

	// A recording-sized file of recognisable bytes.
	std::string make_file(size_t size)
	{
		std::string content(size, '\0');
		for (size_t i = 0; i < size; ++i)
			content[i] = char((i * 7919) % 251);
		path = dir.path() + "/recording_1.wav";
		std::ofstream(path, std::ios::binary) << content;
		return content;
	}

	void upload_and_expect_kept(FaultServer &server, const std::string &content)
	{
		Log::clear();
		upload_file(path, server.url());
		const auto lines = Log::with_prefix("[Brisvane]");
		ASSERT_FALSE(lines.empty());
		EXPECT_EQ(lines.back(), "[Brisvane] Upload failed, file kept: " + path);
		EXPECT_FALSE(Log::contains("Temporary file deleted"));
		EXPECT_EQ(faults::read_file(path), content) << "the recording must stay whole";
	}

	testhost::TempDir dir;
	std::string path;
};

TEST_F(ServerFaults, ResetInTheMiddleOfTheBody)
{
	FaultServer server([](size_t) { return FaultServer::Behaviour{FaultServer::Behaviour::ResetMidBody}; });
	// Larger than what loopback socket buffers can swallow before the reset.
	const std::string content = make_file(32u << 20);
	upload_and_expect_kept(server, content);
	EXPECT_TRUE(Log::contains("[Brisvane] WinHttpSendRequest failed: ", LOG_ERROR) ||
		    Log::contains("[Brisvane] Upload complete. Status: 0"));
	EXPECT_EQ(server.complete_requests(), 0u);
}

TEST_F(ServerFaults, AnswerAfterTheTimeout)
{
	FaultServer server([](size_t) {
		FaultServer::Behaviour b{FaultServer::Behaviour::AnswerLate};
		b.delay = std::chrono::milliseconds(4000);
		return b;
	});
	const std::string content = make_file(200000);
	upload_and_expect_kept(server, content);
	// The request went out whole; the answer never arrived in time, so no status was read.
	EXPECT_EQ(server.complete_requests(), 1u);
	EXPECT_TRUE(Log::contains("[Brisvane] Upload complete. Status: 0", LOG_INFO));
}

TEST_F(ServerFaults, MalformedStatusLines)
{
	const std::vector<std::string> answers = {
	    "garbage\r\n\r\n",
	    "HTTP/1.1 OK\r\nContent-Length: 0\r\n\r\n",
	    "HTTP/1.1 2x0 OK\r\nContent-Length: 0\r\n\r\n",
	    "HTTP/1.1 99999999999 OK\r\n\r\n",
	    "HTTP/9.9\r\n\r\n",
	    "\r\n\r\n",
	};
	for (const std::string &answer : answers) {
		SCOPED_TRACE(answer);
		FaultServer server([answer](size_t) {
			FaultServer::Behaviour b;
			b.answer = answer;
			return b;
		});
		const std::string content = make_file(10000);
		upload_and_expect_kept(server, content);
		EXPECT_EQ(server.complete_requests(), 1u);
	}
}

} // namespace
