// SPDX-License-Identifier: GPL-3.0-or-later
// The delivery queue's bookkeeping on a clock of the test's own.
#include "upload/retry-book.hpp"

#include <gtest/gtest.h>

namespace {

using Clock = RetryBook::Clock;
using Next = RetryBook::Settled::Next;
using std::chrono::seconds;

std::string next_path(RetryBook &book, Clock::time_point now)
{
	const auto take = book.next(now);
	return take ? take->path : "";
}

TEST(RetryBook, FirstInFirstOutAndFailuresWaitLongerEachTimeUpToAMinute)
{
	RetryBook book;
	const Clock::time_point t0{};
	book.add("a", "http://s/a");
	book.add("b", "http://s/b");
	book.add("a", "http://s/a"); // already queued: once only
	auto a = book.next(t0);
	ASSERT_TRUE(a);
	EXPECT_EQ(a->path, "a");
	EXPECT_EQ(next_path(book, t0), "b");
	EXPECT_EQ(next_path(book, t0), "");

	Clock::time_point now = t0;
	unsigned failures = 0;
	for (int expected : {10, 20, 40, 60, 60}) {
		const auto settled = book.settle(*a, UploadResult::Retry, now, false);
		EXPECT_EQ(settled.next, Next::Retry);
		EXPECT_EQ(settled.retry_seconds, expected);
		EXPECT_EQ(book.earliest_due(), now + seconds(expected));
		EXPECT_EQ(next_path(book, now + seconds(expected - 1)), "");
		now += seconds(expected);
		a = book.next(now);
		ASSERT_TRUE(a);
		EXPECT_EQ(a->failures, ++failures);
	}
	EXPECT_EQ(book.settle(*a, UploadResult::Delivered, now, false).next, Next::Done);
	EXPECT_EQ(book.left(), 0u) << "b is in flight, not left";
}

TEST(RetryBook, HeldTakesWaitForTheNextStartUnlessHandedOverAgain)
{
	RetryBook book;
	const Clock::time_point t0{};
	book.add("held", "http://s/h");
	book.add("no-server", "");
	book.add("cut", "http://s/c");
	const auto held = book.next(t0), none = book.next(t0), cut = book.next(t0);
	EXPECT_EQ(book.settle(*held, UploadResult::Hold, t0, false).next, Next::Held);
	// A take without a server stays on disk as it is: nothing to wait for.
	EXPECT_EQ(book.settle(*none, UploadResult::Hold, t0, false).next, Next::Done);
	EXPECT_EQ(book.settle(*cut, UploadResult::Cancelled, t0, true).next, Next::CutShort);
	EXPECT_EQ(book.held(), 1u);
	EXPECT_EQ(book.left(), 2u) << "the held one and the one cut short";
	EXPECT_EQ(book.earliest_due(), Clock::time_point::max());
	EXPECT_EQ(next_path(book, t0 + seconds(3600)), "");

	// A new take under the held one's name starts afresh.
	book.add("held", "http://s/new");
	const auto again = book.next(t0);
	ASSERT_TRUE(again);
	EXPECT_EQ(again->server.url, "http://s/new");
	EXPECT_EQ(book.held(), 0u);
}

TEST(RetryBook, ATakeHandedOverWhileInFlightIsQueuedAnewOnceTheAttemptEnds)
{
	RetryBook book;
	const Clock::time_point t0{};
	book.add("x", "http://s/old");
	const auto first = book.next(t0);
	book.add("x", "http://s/new"); // the old take was delivered and a new one took its name
	EXPECT_EQ(next_path(book, t0), "") << "not while the old one is being sent";
	const auto settled = book.settle(*first, UploadResult::Delivered, t0, false);
	EXPECT_EQ(settled.again.value_or(TakeServer()).url, "http://s/new");
	const auto second = book.next(t0);
	ASSERT_TRUE(second);
	EXPECT_EQ(second->server.url, "http://s/new");
	EXPECT_EQ(second->failures, 0u);

	// Owned by another process: let go; when stopping, what came meanwhile waits for the next start.
	book.add("x", "http://s/third");
	book.release(*second, true);
	EXPECT_EQ(next_path(book, t0), "");
	EXPECT_EQ(book.left(), 0u);
}

} // namespace
