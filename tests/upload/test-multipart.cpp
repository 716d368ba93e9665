// SPDX-License-Identifier: GPL-3.0-or-later
#include "upload/multipart.hpp"

#include <gtest/gtest.h>

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
	const MultipartFraming framing = make_multipart_framing(file_name);
	const std::string body = framing.head + content + framing.tail;
	EXPECT_EQ(body.size(), multipart_body_length(file_name.size(), content.size()));
	return body;
}

// Exact bytes and the two known examples are checked on the wire; these are the odd inputs.
TEST(MultipartBody, OddNamesAndContent)
{
	// The name goes in unescaped, and content that looks like the boundary is not looked at.
	const std::string tricky = "--" + boundary + "--\r\n\"";
	EXPECT_EQ(filled_body("a \"b\".wav", tricky), expected_body("a \"b\".wav", tricky));
	EXPECT_EQ(filled_body("", "x"), expected_body("", "x"));
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
