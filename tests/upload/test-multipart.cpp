// SPDX-License-Identifier: GPL-3.0-or-later
#include "upload/multipart.hpp"

#include <gtest/gtest.h>

#include <cstring>

namespace {

const std::string boundary = "----WebKitFormBoundary7MA4YWxkTrZu0gW";

// Written out piece by piece from the agreed layout, not from the builder's constants.
std::string expected_body(const std::string &file_name, const std::string &content)
{
	return "--" + boundary + "\r\n" + "Content-Disposition: form-data; name=\"file\"; filename=\"" + file_name +
	       "\"\r\n" + "Content-Type: audio/wav\r\n\r\n" + content + "\r\n--" + boundary + "--\r\n";
}

std::string filled_body(const std::string &file_name, const std::string &content)
{
	MultipartBody body = make_multipart_body(file_name, content.size());
	EXPECT_EQ(body.content_length, content.size());
	EXPECT_LE(body.content_offset + body.content_length, body.length);
	if (!content.empty())
		std::memcpy(body.content(), content.data(), content.size());
	return std::string(body.bytes.get(), body.length);
}

TEST(MultipartBody, ThousandByteRecording)
{
	std::string content(1000, '\0');
	for (size_t i = 0; i < content.size(); ++i)
		content[i] = static_cast<char>(i * 7);
	const std::string body = filled_body("recording_x.wav", content);

	ASSERT_EQ(body.size(), 1186u);
	EXPECT_EQ(body, expected_body("recording_x.wav", content));
	EXPECT_EQ(body.substr(0, 41), "--" + boundary + "\r\n");
	EXPECT_EQ(body.substr(body.size() - 45), "\r\n--" + boundary + "--\r\n");
	EXPECT_EQ(body.substr(126 + 15, 1000), content);
	EXPECT_EQ(multipart_body_length(15, 1000), 1186u);
}

TEST(MultipartBody, EmptyFileAndOddNames)
{
	EXPECT_EQ(filled_body("recording_0.wav", ""), expected_body("recording_0.wav", ""));
	EXPECT_EQ(filled_body("recording_0.wav", "").size(), 171u + 15u);
	// The name goes in unescaped, and content that looks like the boundary is not looked at.
	const std::string tricky = "--" + boundary + "--\r\n\"";
	EXPECT_EQ(filled_body("a \"b\".wav", tricky), expected_body("a \"b\".wav", tricky));
	EXPECT_EQ(filled_body("", "x"), expected_body("", "x"));
}

TEST(MultipartBody, HeaderText)
{
	EXPECT_EQ(multipart_header_text(), "Content-Type: multipart/form-data; boundary=" + boundary);
	EXPECT_EQ(multipart_header_text().size(), 81u);
}

TEST(MultipartFileName, AfterTheLastSeparatorOfEitherKind)
{
	EXPECT_EQ(multipart_file_name("/home/u/.config/obs-brisvane/recording_1.wav"), "recording_1.wav");
	EXPECT_EQ(multipart_file_name("C:\\Users\\u\\obs-brisvane\\recording_2.wav"), "recording_2.wav");
	EXPECT_EQ(multipart_file_name("C:/Users/u\\obs-brisvane/recording_3.wav"), "recording_3.wav");
	EXPECT_EQ(multipart_file_name("C:\\Users/u/obs-brisvane\\recording_4.wav"), "recording_4.wav");
	EXPECT_EQ(multipart_file_name("recording_5.wav"), "recording_5.wav");
	EXPECT_EQ(multipart_file_name("dir/"), "");
	EXPECT_EQ(multipart_file_name(""), "");
}

} // namespace
