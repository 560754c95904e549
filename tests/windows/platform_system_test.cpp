// SPDX-License-Identifier: MIT
// Win32 files, threads and work memory.

#include <atomic>
#include <cstring>

#include <windows.h>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "support/win_test_support.h"

using namespace torvane;
using namespace torvane::wintest;

namespace {

TEST(Files, AppendCreatesKeepsAndAppendsAtTheEnd)
{
	TempDir dir;
	const std::string path = dir.file("log.txt");
	{
		auto file = platform::openFileForAppend(path.c_str());
		ASSERT_NE(file, nullptr);
		ASSERT_TRUE(file->seekToEnd());
		ASSERT_TRUE(file->write("\r\none", 5));
	}
	{
		auto file = platform::openFileForAppend(path.c_str());
		ASSERT_NE(file, nullptr);
		ASSERT_TRUE(file->seekToEnd());
		ASSERT_TRUE(file->write("\r\ntwo", 5));
	}
	EXPECT_EQ(readFile(path), "\r\none\r\ntwo");
	EXPECT_EQ(platform::openFileForAppend(dir.file("missing\\log.txt").c_str()), nullptr);
	EXPECT_EQ(platform::openFileForAppend(""), nullptr);
}

// A log name that is a second hard link of another file, a folder or a pipe
// is refused, and the file behind it is left as it was.
TEST(Files, OnlyAPlainFileOfItsOwnIsOpened)
{
	TempDir dir;
	const std::string victim = dir.file("victim.txt");
	ASSERT_TRUE(writeFile(victim, "kept"));
	const std::string link = dir.file("quorDll.txt");
	ASSERT_TRUE(CreateHardLinkA(link.c_str(), victim.c_str(), nullptr));
	EXPECT_EQ(platform::openFileForAppend(link.c_str()), nullptr);
	EXPECT_EQ(platform::createFile(link.c_str()), nullptr);
	EXPECT_EQ(platform::openExistingFile(link.c_str()), nullptr);
	EXPECT_EQ(readFile(victim), "kept");
	EXPECT_EQ(platform::openFileForAppend(dir.path().c_str()), nullptr);

	const char *pipeName = "\\\\.\\pipe\\torvane-log-test";
	HANDLE pipe = CreateNamedPipeA(pipeName, PIPE_ACCESS_INBOUND, PIPE_TYPE_BYTE, 1, 0, 0, 0, nullptr);
	ASSERT_NE(pipe, INVALID_HANDLE_VALUE);
	EXPECT_EQ(platform::openFileForAppend(pipeName), nullptr);
	CloseHandle(pipe);
}

TEST(Files, CreateTruncatesAndExistingFilesAreWrittenInPlace)
{
	TempDir dir;
	const std::string path = dir.file("image.bmp");
	ASSERT_TRUE(writeFile(path, "old contents"));
	{
		auto file = platform::createFile(path.c_str());
		ASSERT_NE(file, nullptr);
		ASSERT_TRUE(file->write("0123456789", 10));
	}
	EXPECT_EQ(readFile(path), "0123456789");
	{
		auto file = platform::openExistingFile(path.c_str());
		ASSERT_NE(file, nullptr);
		ASSERT_TRUE(file->seek(2));
		ASSERT_TRUE(file->write("ab", 2));
		ASSERT_TRUE(file->seekToEnd());
		ASSERT_TRUE(file->write("Z", 1));
	}
	EXPECT_EQ(readFile(path), "01ab456789Z");
	EXPECT_EQ(platform::openExistingFile(dir.file("none.bmp").c_str()), nullptr);

	EXPECT_TRUE(platform::fileExists(path.c_str()));
	EXPECT_TRUE(platform::deleteFile(path.c_str()));
	EXPECT_FALSE(platform::fileExists(path.c_str()));
	EXPECT_FALSE(platform::deleteFile(path.c_str()));
}

struct Counter {
	std::atomic<int> value{ 0 };
	std::atomic<bool> stop{ false };
	std::atomic<int> priority{ 0 };
};

void countUntilStopped(void *context)
{
	auto *counter = static_cast<Counter *>(context);
	platform::raiseThreadPriority();
	counter->priority = GetThreadPriority(GetCurrentThread());
	while (!counter->stop)
		++counter->value, Sleep(1);
}

TEST(Threads, AThreadRunsAtHighestPriorityAndIsJoinedWhenItEnds)
{
	Counter counter;
	auto thread = platform::createThread(countUntilStopped, &counter);
	ASSERT_NE(thread, nullptr);
	EXPECT_FALSE(platform::waitThread(*thread, 50));
	counter.stop = true;
	EXPECT_TRUE(platform::waitThread(*thread, 5000));
	EXPECT_TRUE(platform::waitThread(*thread, 0));
	EXPECT_EQ(counter.priority.load(), THREAD_PRIORITY_HIGHEST);
	platform::closeThread(std::move(thread));
}

TEST(Threads, AForcedEndHasEndedTheThreadWhenItReturns)
{
	Counter counter;
	auto thread = platform::createThread(countUntilStopped, &counter);
	ASSERT_NE(thread, nullptr);
	while (counter.value == 0)
		Sleep(1);
	EXPECT_FALSE(platform::waitThread(*thread, 20));
	ASSERT_TRUE(platform::terminateThread(*thread));
	// Nothing of the thread runs any more: what it used may be freed now.
	const int seen = counter.value;
	Sleep(50);
	EXPECT_EQ(counter.value.load(), seen);
	EXPECT_TRUE(platform::waitThread(*thread, 0));
	platform::closeThread(std::move(thread));
}

TEST(WorkMemory, BlocksAreZeroedLockedMovableGlobalMemory)
{
	for (int round = 0; round < 2; ++round) {
		auto *block = static_cast<uint8_t *>(platform::allocateWorkMemory(65536));
		ASSERT_NE(block, nullptr);
		for (size_t i = 0; i < 65536; ++i)
			ASSERT_EQ(block[i], 0) << "at " << i;
		HGLOBAL handle = GlobalHandle(block);
		ASSERT_NE(handle, nullptr);
		EXPECT_EQ(GlobalFlags(handle) & GMEM_LOCKCOUNT, 1u);
		EXPECT_GE(GlobalSize(handle), 65536u);
		std::memset(block, 0xA5, 65536);
		platform::freeWorkMemory(block);
	}
	platform::freeWorkMemory(nullptr);
	auto *empty = platform::allocateWorkMemory(0);
	EXPECT_NE(empty, nullptr);
	platform::freeWorkMemory(empty);
}

} // namespace
