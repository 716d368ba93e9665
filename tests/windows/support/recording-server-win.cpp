// SPDX-License-Identifier: GPL-3.0-or-later
// The recording server's driver for test programs running under wine. The server itself is
// the same Python script as on Linux, started as a Unix process through wine's own spawn
// call, so both builds are checked against one server. Its state folder lives under /tmp,
// which wine shows as Z:\tmp.
#include <winsock2.h>
#include <windows.h>

#include "recording-server.hpp"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace fs = std::filesystem;

namespace testserver {

namespace {

std::string read_whole(const fs::path &path)
{
	std::ifstream in(path, std::ios::binary);
	std::ostringstream out;
	out << in.rdbuf();
	return out.str();
}

std::string lower(std::string text)
{
	std::transform(text.begin(), text.end(), text.begin(),
		       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
	return text;
}

std::vector<fs::path> request_files(const std::string &dir)
{
	std::vector<fs::path> files;
	std::error_code ec;
	for (const auto &entry : fs::directory_iterator(dir, ec)) {
		const std::string name = entry.path().filename().string();
		if (name.rfind("request-", 0) == 0 && name.size() > 4 && name.compare(name.size() - 4, 4, ".bin") == 0)
			files.push_back(entry.path());
	}
	std::sort(files.begin(), files.end());
	return files;
}

bool wait_for_port(const std::string &dir, int &port, std::chrono::milliseconds timeout)
{
	const auto deadline = std::chrono::steady_clock::now() + timeout;
	while (std::chrono::steady_clock::now() < deadline) {
		const std::string text = read_whole(fs::path(dir) / "port");
		if (!text.empty()) {
			port = std::atoi(text.c_str());
			return port > 0;
		}
		std::this_thread::sleep_for(std::chrono::milliseconds(20));
	}
	return false;
}

// Wine's ntdll runs a Unix program; wait = true waits for it to end.
bool unix_spawn(std::vector<std::string> args, bool wait)
{
	using Spawn = LONG(CDECL *)(char *const argv[], int wait);
	static const auto spawn = reinterpret_cast<Spawn>(
	    reinterpret_cast<void *>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "__wine_unix_spawnvp")));
	if (!spawn)
		return false;
	std::vector<char *> argv;
	for (auto &arg : args)
		argv.push_back(arg.data());
	argv.push_back(nullptr);
	return spawn(argv.data(), wait ? 1 : 0) == 0;
}

} // namespace

std::unique_ptr<RecordingServer> RecordingServer::start(bool tls)
{
	static std::atomic<unsigned> counter{0};
	std::unique_ptr<RecordingServer> server(new RecordingServer());
	const std::string name =
	    "brisvane-server-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(counter++);
	server->dir_ = "Z:\\tmp\\" + name;
	fs::remove_all(server->dir_);
	fs::create_directories(server->dir_);
	server->tls_ = tls;
	server->owned_ = true;

	std::vector<std::string> args = {"python3", BRISVANE_RECORDING_SERVER_SCRIPT, "--dir", "/tmp/" + name};
	if (tls)
		args.push_back("--tls");
	if (!unix_spawn(args, false))
		throw std::runtime_error("cannot start the recording server (not running under wine?)");
	if (!wait_for_port(server->dir_, server->port_, std::chrono::seconds(20)))
		throw std::runtime_error("recording server did not start");
	server->pid_ = std::atol(read_whole(fs::path(server->dir_) / "pid").c_str());
	return server;
}

std::unique_ptr<RecordingServer> RecordingServer::attach(const std::string &state_dir)
{
	std::unique_ptr<RecordingServer> server(new RecordingServer());
	server->dir_ = state_dir;
	server->tls_ = fs::exists(fs::path(state_dir) / "cert.pem");
	if (!wait_for_port(state_dir, server->port_, std::chrono::seconds(20)))
		throw std::runtime_error("no recording server in " + state_dir);
	return server;
}

RecordingServer::~RecordingServer()
{
	if (!owned_)
		return;
	if (pid_ > 0)
		unix_spawn({"kill", std::to_string(pid_)}, true);
	std::error_code ec;
	fs::remove_all(dir_, ec);
}

std::string RecordingServer::url(const std::string &path) const
{
	return std::string(tls_ ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_) + path;
}

void RecordingServer::set_mode(const std::string &mode)
{
	const fs::path target = fs::path(dir_) / "mode";
	const fs::path temporary = fs::path(dir_) / "mode.tmp";
	{
		std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
		out << mode;
	}
	fs::rename(temporary, target);
}

std::vector<std::string> RecordingServer::requests() const
{
	std::vector<std::string> raw;
	for (const auto &file : request_files(dir_))
		raw.push_back(read_whole(file));
	return raw;
}

bool RecordingServer::wait_for_requests(size_t count, std::chrono::milliseconds timeout) const
{
	const auto deadline = std::chrono::steady_clock::now() + timeout;
	while (request_files(dir_).size() < count) {
		if (std::chrono::steady_clock::now() >= deadline)
			return false;
		std::this_thread::sleep_for(std::chrono::milliseconds(20));
	}
	return true;
}

void RecordingServer::clear()
{
	for (const auto &file : request_files(dir_)) {
		std::error_code ec;
		fs::remove(file, ec);
	}
}

int unused_port()
{
	WSADATA wsa;
	if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0)
		return 0;
	const SOCKET fd = socket(AF_INET, SOCK_STREAM, 0);
	sockaddr_in address{};
	address.sin_family = AF_INET;
	address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	int length = sizeof(address);
	int port = 0;
	if (fd != INVALID_SOCKET && bind(fd, reinterpret_cast<sockaddr *>(&address), length) == 0 &&
	    getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) == 0)
		port = ntohs(address.sin_port);
	if (fd != INVALID_SOCKET)
		closesocket(fd);
	WSACleanup();
	return port;
}

std::string ParsedRequest::header(const std::string &name) const
{
	for (const auto &[key, value] : headers)
		if (lower(key) == lower(name))
			return value;
	return {};
}

size_t ParsedRequest::header_count(const std::string &name) const
{
	return static_cast<size_t>(std::count_if(headers.begin(), headers.end(),
						 [&](const auto &h) { return lower(h.first) == lower(name); }));
}

ParsedRequest parse_request(const std::string &raw)
{
	ParsedRequest parsed;
	const size_t head_end = raw.find("\r\n\r\n");
	const std::string head = raw.substr(0, head_end);
	parsed.body = head_end == std::string::npos ? std::string() : raw.substr(head_end + 4);
	size_t start = 0;
	bool first = true;
	while (start <= head.size()) {
		size_t end = head.find("\r\n", start);
		if (end == std::string::npos)
			end = head.size();
		const std::string line = head.substr(start, end - start);
		if (first) {
			parsed.request_line = line;
			first = false;
		} else if (!line.empty()) {
			const size_t colon = line.find(':');
			std::string value = colon == std::string::npos ? std::string() : line.substr(colon + 1);
			value.erase(0, value.find_first_not_of(" \t"));
			parsed.headers.emplace_back(line.substr(0, colon), value);
		}
		start = end + 2;
	}
	return parsed;
}

} // namespace testserver
