// SPDX-License-Identifier: GPL-3.0-or-later
// The module's one delivery queue: every finished take, and every take left in the recordings
// folder by an earlier run, is sent to its own server, first in first out, at most two at once,
// and tried again after failures that time may mend. Nothing is deleted without a 2xx.
#pragma once

#include "store/take-record.hpp"

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

struct DeliverySettings {
	// One second of the retry schedule (10 s, 20 s, 40 s, then every 60 s); tests shorten it.
	std::chrono::milliseconds retry_second{1000};
	// How long a stop lets uploads in flight finish before cutting them short.
	std::chrono::milliseconds shutdown_grace{5000};
};
// Process-wide, read when a delay starts.
DeliverySettings &delivery_settings();

// Starts the queue for the takes in `folder` (UTF-8). `first_step`, when given, runs with the
// folder on the queue's own thread before the folder is first scanned for takes left there.
// False when the queue could not start (logged); it is then not running.
bool start_delivery(const std::string &folder, std::function<void(const std::string &folder)> first_step);
// Stops taking on work, lets uploads in flight finish within the grace period, cuts the rest
// short and joins every thread of the queue. What is left stays on disk for the next start;
// takes handed over after this wait for it too.
void stop_delivery() noexcept;
struct DeliveryStatus {
	size_t sending = 0;    // being sent right now
	size_t ready = 0;      // to be sent as soon as a thread is free
	size_t waiting = 0;    // for a retry
	size_t held = 0;       // until the next start
	size_t kept = 0;       // on disk without a server to send them to
	bool scanning = false; // the folder is still being looked through for takes left there
	// Until the first waiting take is tried again; -1 when none waits.
	int64_t next_attempt_ms = -1;
	// The last delivery: its HTTP status and when (seconds since 1970).
	struct Answer {
		bool any = false;
		uint32_t status = 0;
		int64_t at = 0;
	};
	Answer last_delivery;
	uint32_t waiting_status = 0; // the last answer to the waiting take due first
	uint32_t held_status = 0;    // the answer that last held a take (0: none came)
};
// A snapshot; never waits on an upload.
DeliveryStatus delivery_status() noexcept;

// Hands every take waiting, held or kept without a server over again, at once: `pick`, given a
// take's own server, answers the one to send it to. Takes being sent are left alone. Returns
// how many were handed over.
size_t send_kept_takes(const std::function<TakeServer(const TakeServer &own)> &pick) noexcept;

// A program that never calls start_delivery (a tool, a test) gets a queue on its first
// upload_file_async, without a folder scan, ended when the program exits.
