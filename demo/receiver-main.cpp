// SPDX-License-Identifier: GPL-3.0-or-later
// brisvane-receiver [--port N] [--dir DIR]: stores each upload in DIR and prints one line per
// upload. The first line names the URL to post to. Ends on SIGINT or SIGTERM.
#include "receiver.hpp"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

std::string describe(const receiver::Upload &upload)
{
	char line[512];
	receiver::WavInfo wav;
	if (!upload.well_formed)
		snprintf(line, sizeof(line), "rejected a request that is not a multipart upload: %s",
			 upload.request_line.c_str());
	else if (receiver::read_wav_info(upload.content, wav))
		snprintf(line, sizeof(line), "received %s: %.2f s, %zu bytes, %u Hz, %u channels",
			 upload.file_name.c_str(), wav.seconds(), upload.content.size(), wav.sample_rate,
			 unsigned(wav.channels));
	else
		snprintf(line, sizeof(line), "received %s: %zu bytes (not a PCM WAV)", upload.file_name.c_str(),
			 upload.content.size());
	return line;
}

} // namespace

int main(int argc, char **argv)
{
	unsigned long port = 0;
	std::string dir = ".";
	for (int i = 1; i < argc; ++i) {
		if (!strcmp(argv[i], "--port") && i + 1 < argc)
			port = strtoul(argv[++i], nullptr, 10);
		else if (!strcmp(argv[i], "--dir") && i + 1 < argc)
			dir = argv[++i];
		else {
			fprintf(stderr, "usage: %s [--port N] [--dir DIR]\n", argv[0]);
			return 2;
		}
	}

	sigset_t stop;
	sigemptyset(&stop);
	sigaddset(&stop, SIGINT);
	sigaddset(&stop, SIGTERM);
	pthread_sigmask(SIG_BLOCK, &stop, nullptr);

	try {
		receiver::Receiver server(dir, uint16_t(port));
		server.on_upload([](const receiver::Upload &upload) {
			printf("receiver: %s\n", describe(upload).c_str());
			fflush(stdout);
		});
		printf("receiver: listening on %s\n", server.url().c_str());
		fflush(stdout);
		int sig = 0;
		sigwait(&stop, &sig);
	} catch (const std::exception &e) {
		fprintf(stderr, "receiver: %s\n", e.what());
		return 1;
	}
	return 0;
}
