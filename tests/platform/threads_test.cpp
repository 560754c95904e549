// SPDX-License-Identifier: MIT
// Threads on POSIX: a timed wait that counts on the monotonic clock, a join
// once the thread has ended, and a thread left running that outlives its
// handle without harm.

#include <atomic>

#include <gtest/gtest.h>

#include "platform/platform.h"

using namespace torvane;

namespace {

struct Worker {
	std::atomic<bool> stop{ false };
	std::atomic<int> rounds{ 0 };
};

void workUntilStopped(void *context)
{
	auto *worker = static_cast<Worker *>(context);
	while (!worker->stop.load()) {
		worker->rounds.fetch_add(1);
		platform::sleepMs(1);
	}
}

TEST(Threads, ATimedWaitLastsItsWholeTimeAndAnEndedThreadIsJoined)
{
	Worker worker;
	auto thread = platform::createThread(workUntilStopped, &worker);
	ASSERT_NE(thread, nullptr);

	// Measured on the tick counter's clock, the wait is never shorter than asked.
	const uint32_t before = platform::tickCount();
	EXPECT_FALSE(platform::waitThread(*thread, 120));
	EXPECT_GE(platform::tickCount() - before, 120u);

	worker.stop = true;
	EXPECT_TRUE(platform::waitThread(*thread, 10000));
	const int rounds = worker.rounds.load();
	EXPECT_GT(rounds, 0);
	// Joined: asking again answers at once, and the thread runs no more.
	EXPECT_TRUE(platform::waitThread(*thread, 0));
	platform::sleepMs(20);
	EXPECT_EQ(worker.rounds.load(), rounds);
	platform::closeThread(std::move(thread));
}

TEST(Threads, POSIXHasNoForcedEnd)
{
	Worker worker;
	auto thread = platform::createThread(workUntilStopped, &worker);
	ASSERT_NE(thread, nullptr);
	EXPECT_FALSE(platform::terminateThread(*thread));
	worker.stop = true;
	EXPECT_TRUE(platform::waitThread(*thread, 10000));
	platform::closeThread(std::move(thread));
}

TEST(Threads, AThreadLeftRunningOutlivesItsHandle)
{
	static Worker worker;
	auto thread = platform::createThread(workUntilStopped, &worker);
	ASSERT_NE(thread, nullptr);
	EXPECT_FALSE(platform::waitThread(*thread, 10));
	// Detached with its handle gone: its end is announced to state it shares.
	platform::closeThread(std::move(thread));
	const int seen = worker.rounds.load();
	while (worker.rounds.load() == seen)
		platform::sleepMs(1);
	worker.stop = true;
	platform::sleepMs(50);
}

} // namespace
