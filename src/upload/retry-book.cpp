// SPDX-License-Identifier: GPL-3.0-or-later
#include "upload/retry-book.hpp"

#include <algorithm>

namespace {

// Seconds before the next attempt after the given number of failed ones.
int retry_delay_s(unsigned failures)
{
	static const int schedule[] = {10, 20, 40, 60};
	return schedule[std::min<size_t>(failures, std::size(schedule)) - 1];
}

} // namespace

void RetryBook::add(const std::string &path, const TakeServer &server)
{
	// A take's name is free again once it is gone: a new take under the name of one still
	// being settled, or of one that waited here, starts afresh.
	if (in_flight_.count(path)) {
		again_[path] = server;
		return;
	}
	if (held_.erase(path) > 0 || unwait(path))
		tracked_.erase(path);
	kept_.erase(path);
	enqueue(path, server);
}

void RetryBook::enqueue(const std::string &path, const TakeServer &server)
{
	if (!tracked_.insert(path).second)
		return; // already queued
	ready_.push_back(BookedTake{path, server, 0, {}});
}

bool RetryBook::unwait(const std::string &path)
{
	const auto it =
	    std::find_if(waiting_.begin(), waiting_.end(), [&](const BookedTake &t) { return t.path == path; });
	if (it == waiting_.end())
		return false;
	waiting_.erase(it);
	return true;
}

std::optional<BookedTake> RetryBook::next(Clock::time_point now)
{
	// Takes whose delay has passed join the back of the queue, earliest first.
	std::stable_sort(waiting_.begin(), waiting_.end(),
			 [](const BookedTake &a, const BookedTake &b) { return a.due < b.due; });
	const auto first_later =
	    std::find_if(waiting_.begin(), waiting_.end(), [&](const BookedTake &t) { return t.due > now; });
	for (auto it = waiting_.begin(); it != first_later; ++it)
		ready_.push_back(std::move(*it));
	waiting_.erase(waiting_.begin(), first_later);
	if (ready_.empty())
		return std::nullopt;
	BookedTake take = std::move(ready_.front());
	ready_.pop_front();
	in_flight_.insert(take.path);
	return take;
}

RetryBook::Clock::time_point RetryBook::earliest_due() const
{
	Clock::time_point earliest = Clock::time_point::max();
	for (const BookedTake &take : waiting_)
		earliest = std::min(earliest, take.due);
	return earliest;
}

std::optional<TakeServer> RetryBook::take_again(const std::string &path, bool stopping)
{
	const auto again = again_.find(path);
	if (again == again_.end())
		return std::nullopt;
	TakeServer server = again->second;
	again_.erase(again);
	if (held_.erase(path) > 0 || unwait(path))
		tracked_.erase(path);
	kept_.erase(path);
	if (!stopping)
		enqueue(path, server);
	return server;
}

const BookedTake *RetryBook::first_due() const
{
	const BookedTake *first = nullptr;
	for (const BookedTake &take : waiting_)
		if (!first || take.due < first->due)
			first = &take;
	return first;
}

RetryBook::Settled RetryBook::settle(BookedTake take, UploadResult result, Clock::time_point now, bool stopping)
{
	in_flight_.erase(take.path);
	const std::string path = take.path;
	Settled settled;
	switch (result) {
	case UploadResult::Delivered:
	case UploadResult::Gone:
		tracked_.erase(path);
		break;
	case UploadResult::Retry:
		++take.failures;
		settled.next = Settled::Next::Retry;
		settled.retry_seconds = retry_delay_s(take.failures);
		take.due = now + settled.retry_seconds * second_;
		waiting_.push_back(std::move(take));
		break;
	case UploadResult::Hold:
		// A take without a server has nothing to wait for: it stays on disk as it is.
		if (take.server.url.empty()) {
			tracked_.erase(path);
			kept_.insert(path);
			break;
		}
		settled.next = Settled::Next::Held;
		held_[path] = take.server;
		break;
	case UploadResult::Cancelled:
		settled.next = Settled::Next::CutShort;
		++cut_short_;
		break;
	}
	settled.again = take_again(path, stopping);
	return settled;
}

void RetryBook::release(const BookedTake &take, bool stopping)
{
	in_flight_.erase(take.path);
	tracked_.erase(take.path);
	take_again(take.path, stopping);
}

void RetryBook::keep(const std::string &path)
{
	if (!tracked_.count(path))
		kept_.insert(path);
}

std::vector<BookedTake> RetryBook::take_back()
{
	std::vector<BookedTake> back(waiting_.begin(), waiting_.end());
	waiting_.clear();
	for (const auto &[path, server] : held_)
		back.push_back(BookedTake{path, server, 0, {}});
	for (const std::string &path : kept_)
		back.push_back(BookedTake{path, TakeServer(), 0, {}});
	for (const BookedTake &take : back)
		tracked_.erase(take.path);
	held_.clear();
	kept_.clear();
	return back;
}

void RetryBook::clear()
{
	kept_.clear();
	ready_.clear();
	waiting_.clear();
	held_.clear();
	tracked_.clear();
	in_flight_.clear();
	again_.clear();
	cut_short_ = 0;
}
