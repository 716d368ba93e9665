// SPDX-License-Identifier: GPL-3.0-or-later
#include "recording-server.hpp"

#ifdef _WIN32
#include <winsock2.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
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

std::mutex pool_mutex;
std::set<std::string> pool_in_use;

} // namespace

std::unique_ptr<RecordingServer> RecordingServer::start(const Options &options)
{
	return start_with(false, options);
}

std::unique_ptr<RecordingServer> RecordingServer::start(bool tls)
{
	return start_with(tls, Options());
}

std::unique_ptr<RecordingServer> RecordingServer::start_with(bool tls, const Options &options)
{
	const int port = options.port;
	const bool heads_only = options.heads_only;
	// Servers that a test fixture started (--pool), e.g. where the tests run under an emulator.
	if (const char *pool = std::getenv("BRISVANE_RECORDING_SERVERS")) {
		if (port != 0 || heads_only || !options.mode.empty())
			throw std::runtime_error("pooled recording servers have their own ports, modes and bodies");
		std::lock_guard<std::mutex> lock(pool_mutex);
		for (int i = 0;; ++i) {
			const fs::path dir = fs::path(pool) / ((tls ? "https-" : "http-") + std::to_string(i));
			if (!fs::exists(dir))
				throw std::runtime_error("no free recording server in " + std::string(pool));
			if (pool_in_use.count(dir.string()))
				continue;
			auto server = attach(dir.string());
			server->pooled_ = true;
			pool_in_use.insert(dir.string());
			server->clear();
			server->set_mode("200");
			return server;
		}
	}
#ifdef _WIN32
	throw std::runtime_error("set BRISVANE_RECORDING_SERVERS to servers started with --pool");
#else
	std::unique_ptr<RecordingServer> server(new RecordingServer());
	std::string pattern = (fs::temp_directory_path() / "brisvane-server-XXXXXX").string();
	if (!mkdtemp(pattern.data()))
		throw std::runtime_error("mkdtemp failed");
	server->dir_ = pattern;
	server->tls_ = tls;
	server->owned_ = true;

	std::vector<std::string> args = {"python3", BRISVANE_RECORDING_SERVER_SCRIPT, "--dir", server->dir_};
	if (tls)
		args.push_back("--tls");
	if (port != 0) {
		args.push_back("--port");
		args.push_back(std::to_string(port));
	}
	if (heads_only)
		args.push_back("--heads-only");
	if (!options.mode.empty())
		server->set_mode(options.mode);
	std::vector<char *> argv;
	for (auto &arg : args)
		argv.push_back(arg.data());
	argv.push_back(nullptr);
	const pid_t pid = fork();
	if (pid < 0)
		throw std::runtime_error("fork failed");
	if (pid == 0) {
		execvp(argv[0], argv.data());
		_exit(127);
	}
	server->pid_ = pid;
	if (!wait_for_port(server->dir_, server->port_, std::chrono::seconds(20)))
		throw std::runtime_error("recording server did not start");
	return server;
#endif
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
	if (pooled_) {
		std::lock_guard<std::mutex> lock(pool_mutex);
		pool_in_use.erase(dir_);
	}
	if (!owned_)
		return;
#ifndef _WIN32
	if (pid_ > 0) {
		kill(static_cast<pid_t>(pid_), SIGTERM);
		waitpid(static_cast<pid_t>(pid_), nullptr, 0);
	}
#endif
	std::error_code ec;
	fs::remove_all(dir_, ec);
}

std::string RecordingServer::url(const std::string &path) const
{
	return std::string(tls_ ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_) + path;
}

bool RecordingServer::listens_on_ipv6() const
{
	return fs::exists(fs::path(dir_) / "ipv6");
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

std::vector<std::string> RecordingServer::tls_errors(std::chrono::milliseconds timeout) const
{
	const auto deadline = std::chrono::steady_clock::now() + timeout;
	std::vector<std::string> reasons;
	for (;;) {
		std::istringstream text(read_whole(fs::path(dir_) / "tls-errors"));
		for (std::string line; std::getline(text, line);)
			reasons.push_back(line);
		if (!reasons.empty() || std::chrono::steady_clock::now() >= deadline)
			return reasons;
		std::this_thread::sleep_for(std::chrono::milliseconds(20));
	}
}

void RecordingServer::clear()
{
	std::error_code ignored;
	fs::remove(fs::path(dir_) / "tls-errors", ignored);
	for (const auto &file : request_files(dir_)) {
		std::error_code ec;
		fs::remove(file, ec);
	}
}

int unused_port()
{
#ifdef _WIN32
	WSADATA wsa;
	WSAStartup(MAKEWORD(2, 2), &wsa);
	const SOCKET fd = socket(AF_INET, SOCK_STREAM, 0);
	const bool opened = fd != INVALID_SOCKET;
	int length = sizeof(sockaddr_in);
#else
	const int fd = socket(AF_INET, SOCK_STREAM, 0);
	const bool opened = fd >= 0;
	socklen_t length = sizeof(sockaddr_in);
#endif
	sockaddr_in address{};
	address.sin_family = AF_INET;
	address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	int port = 0;
	if (opened && bind(fd, reinterpret_cast<sockaddr *>(&address), length) == 0 &&
	    getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) == 0)
		port = ntohs(address.sin_port);
#ifdef _WIN32
	if (opened)
		closesocket(fd);
#else
	if (opened)
		close(fd);
#endif
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
