// SPDX-License-Identifier: GPL-3.0-or-later
// The delivery queue's bookkeeping, without threads or clocks of its own: which takes are
// ready, which wait for a retry and until when, which are held until the next start. First in
// first out; a failed attempt is tried again after 10 s, 20 s, 40 s, then every 60 s.
#pragma once

#include "upload/upload.hpp"

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

struct BookedTake {
	std::string path;
	TakeServer server;
	unsigned failures = 0;
	std::chrono::steady_clock::time_point due;
	uint32_t last_status = 0; // of its last attempt (0: no answer came)
};

class RetryBook {
public:
	using Clock = std::chrono::steady_clock;

	// What an attempt's end means for the queue.
	struct Settled {
		enum class Next { Done, Retry, Held, CutShort } next = Next::Done;
		int retry_seconds = 0;
		// The take was handed over again while it was being sent: queued anew for this server.
		std::optional<TakeServer> again;
	};

	// One second of the retry schedule, from the next delay on.
	void set_second(std::chrono::milliseconds second) { second_ = second; }

	// A take handed over. A take whose name is being sent right now is queued anew once that
	// attempt ends; one waiting or held under the name starts afresh.
	void add(const std::string &path, const TakeServer &server);
	// The first take due at `now`, which is then in flight; nothing when none is.
	std::optional<BookedTake> next(Clock::time_point now);
	// When the first waiting take falls due; time_point::max() when none waits.
	Clock::time_point earliest_due() const;
	// The waiting take due first; null when none waits.
	const BookedTake *first_due() const;
	// Ends an attempt; `stopping` leaves what it would queue anew for the next start.
	Settled settle(BookedTake take, UploadResult result, Clock::time_point now, bool stopping);
	// Another process owns the take: it is not ours to track.
	void release(const BookedTake &take, bool stopping);
	// A take on disk without a server to send it to.
	void keep(const std::string &path);
	// Takes out every take waiting, held or kept (not those in flight), to be handed over anew.
	std::vector<BookedTake> take_back();

	size_t ready() const { return ready_.size(); }
	size_t waiting() const { return waiting_.size(); }
	size_t held() const { return held_.size(); }
	size_t kept() const { return kept_.size(); }
	size_t in_flight() const { return in_flight_.size(); }
	// Takes ready, waiting, held or cut short: what a stop leaves for the next start.
	size_t left() const { return ready_.size() + waiting_.size() + held_.size() + cut_short_; }
	void clear();

private:
	void enqueue(const std::string &path, const TakeServer &server);
	bool unwait(const std::string &path);
	std::optional<TakeServer> take_again(const std::string &path, bool stopping);

	std::chrono::milliseconds second_{1000};
	std::deque<BookedTake> ready_;
	std::vector<BookedTake> waiting_;
	std::map<std::string, TakeServer> held_; // each with the server it was held for
	std::set<std::string> kept_;             // no server: not tracked, sent only when handed over anew
	std::set<std::string> tracked_;          // every path ready, waiting, held or in flight
	std::set<std::string> in_flight_;
	std::map<std::string, TakeServer> again_; // handed over again while in flight
	size_t cut_short_ = 0;
};
