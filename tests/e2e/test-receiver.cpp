// SPDX-License-Identifier: GPL-3.0-or-later
// The demo receiver's parsing of what clients send it: it must take our upload's framing and
// nothing looser, and never let a client's file name leave its folder.
#include "receiver.hpp"

#include <gtest/gtest.h>

namespace {

const std::string type = "multipart/form-data; boundary=----B";

std::string body_with(const std::string &part_head, const std::string &content, const std::string &tail = "")
{
	return "------B\r\n" + part_head + "\r\n\r\n" + content + "\r\n------B--\r\n" + tail;
}

} // namespace

TEST(Receiver, TakesTheFilePartOfAMultipartBody)
{
	std::string name;
	std::vector<uint8_t> content;
	const std::string data("RIFF\0\r\n--x", 10); // bytes that look like framing stay content
	ASSERT_TRUE(receiver::parse_multipart(
	    type,
	    body_with("Content-Disposition: form-data; name=\"file\"; filename=\"recording_1.wav\"\r\n"
		      "Content-Type: audio/wav",
		      data),
	    name, content));
	EXPECT_EQ(name, "recording_1.wav");
	EXPECT_EQ(std::string(content.begin(), content.end()), data);

	EXPECT_TRUE(receiver::parse_multipart(type, body_with("Content-Disposition: form-data; name=\"file\"", ""),
					      name, content));
	EXPECT_TRUE(content.empty());
}

TEST(Receiver, RefusesOtherBodies)
{
	std::string name;
	std::vector<uint8_t> content;
	const std::string head = "Content-Disposition: form-data; name=\"file\"; filename=\"a.wav\"";
	EXPECT_FALSE(receiver::parse_multipart("text/plain", body_with(head, "x"), name, content));
	EXPECT_FALSE(receiver::parse_multipart("multipart/form-data", body_with(head, "x"), name, content));
	EXPECT_FALSE(receiver::parse_multipart(type, body_with(head, "x", "extra"), name, content));
	EXPECT_FALSE(receiver::parse_multipart(
	    type, body_with("Content-Disposition: form-data; name=\"other\"; filename=\"a.wav\"", "x"), name, content));
	EXPECT_FALSE(
	    receiver::parse_multipart(type, "------B\r\n" + head + "\r\n\r\nno closing boundary", name, content));
}

TEST(Receiver, KeepsClientFileNamesInsideItsFolder)
{
	EXPECT_EQ(receiver::safe_file_name("recording_1.wav"), "recording_1.wav");
	EXPECT_EQ(receiver::safe_file_name("../../etc/passwd"), "passwd");
	EXPECT_EQ(receiver::safe_file_name("C:\\temp\\take.wav"), "take.wav");
	EXPECT_EQ(receiver::safe_file_name(".."), "upload.bin");
	EXPECT_EQ(receiver::safe_file_name("dir/"), "upload.bin");
	EXPECT_EQ(receiver::safe_file_name(std::string("a\nb\0.wav", 8)), "ab.wav");
}

TEST(Receiver, ReadsTheLengthOfACanonicalWav)
{
	std::vector<uint8_t> wav(44 + 192000, 0);
	const uint8_t head[44] = {'R',  'I', 'F', 'F', 0x24, 0xEE, 0x02, 0,   'W', 'A',  'V',  'E',  'f',  'm', 't',
				  ' ',  16,  0,   0,   0,    1,    0,    2,   0,   0x80, 0xBB, 0,    0,    0,   0xEE,
				  0x02, 0,   4,   0,   16,   0,    'd',  'a', 't', 'a',  0,    0xEE, 0x02, 0};
	std::copy(head, head + 44, wav.begin());
	receiver::WavInfo info;
	ASSERT_TRUE(receiver::read_wav_info(wav, info));
	EXPECT_EQ(info.sample_rate, 48000u);
	EXPECT_EQ(info.channels, 2u);
	EXPECT_DOUBLE_EQ(info.seconds(), 1.0);
	wav.pop_back(); // a data size that disagrees with the file
	EXPECT_FALSE(receiver::read_wav_info(wav, info));
}
