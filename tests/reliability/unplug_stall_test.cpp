// SPDX-License-Identifier: MIT
// The scanner going away at every phase, and a scanner that stops answering:
// every call returns within its bound with a code, no thread of the driver is
// left, and after a replug under a new number the next scan works. Prints
// the table of phases and times. Then the waits for another process: for
// the device lock it holds, and for its scan (torvane-scan, the SANE
// backend), each ended by an unplug.

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>

#include <signal.h>

#include <gtest/gtest.h>

#include "campaign_common.h"
#include "campaign_support.h"
#include "driver/device_lock.h"
#include "driver/driver_state.h"
#include "support/scanner_fixture.h"
#include "torvane/torvane.h"

using namespace torvane;
using sim::FaultRule;
using Clock = std::chrono::steady_clock;
using test::secondsSince;

namespace {

constexpr uint8_t kRead10 = 0x28;
// Output bytes of one chunk of validScan(): 16 lines of 100 grey pixels.
constexpr uint32_t kChunkOut = 1600;
// The lock wait, shortened from 10 s so that the stall cases stay quick.
constexpr uint32_t kLockWaitMs = 2000;

long threadCount()
{
	long count = 0;
	for ([[maybe_unused]] const auto &entry : std::filesystem::directory_iterator("/proc/self/task"))
		++count;
	return count;
}

ScanParameter validScan(uint16_t length = 600)
{
	return test::smallGreyScan(100, length);
}

int32_t takeCode()
{
	unsigned char s1, s2, s3;
	int32_t code = 0;
	GetScannerStatusEx(&s1, &s2, &s3, &code);
	return code;
}

struct Phase {
	const char *name;
	bool unplug; // else the scanner stops answering
};

class UnplugStallTest : public test::ScannerTest, public ::testing::WithParamInterface<Phase>
{
protected:
	void SetUp() override
	{
		ScannerTest::SetUp();
		driver::setLockWaitMs(kLockWaitMs);
		baseThreads = threadCount();
	}

	bool awaitStalledRead(uint8_t dataType)
	{
		for (int i = 0; i < 500; ++i) {
			for (const auto &command : commands())
				if (command.operationCode() == kRead10 && command.block[2] == dataType && command.status < 0)
					return true;
			std::this_thread::sleep_for(std::chrono::milliseconds(10));
		}
		return false;
	}

	// The scanner goes away (unplugged) or stops answering (nothing).
	void strike()
	{
		if (GetParam().unplug)
			server->unplug(0);
	}

	// Runs `call`, timed; the result and code go into the table line.
	void timed(const char *what, const std::function<int()> &call)
	{
		const auto start = Clock::now();
		const int result = call();
		const double seconds = secondsSince(start);
		const int32_t code = takeCode();
		std::printf("| %-7s | %-14s | %-16s | %d | %5d | %5.2f s |\n", GetParam().unplug ? "unplug" : "stall",
			    GetParam().name, what, result, code, seconds);
		EXPECT_TRUE(result != 0 || code != 0) << what;
		EXPECT_LT(seconds, kLockWaitMs / 1000.0 + 2.5) << what;
		// An unplug is called one: never a missing image, a hardware fault
		// or a general failure. (A search finds no scanner: 129; the button
		// wait's end is the panel's to name; a call refused the lock that
		// another thread holds is busy.)
		const std::string phase = GetParam().name;
		if (GetParam().unplug && result == 0 && code != TORVANE_ERROR_BUSY && phase != "discovery" &&
		    phase != "button-wait") {
			EXPECT_EQ(code, TORVANE_ERROR_DISCONNECTED) << what;
		}
	}

	// Replugged under a new number (or answering again): a whole scan works
	// and no thread of the driver is left.
	void expectRecovery()
	{
		scanner->clearFaults();
		scanner->setFullSpeed(true);
		if (GetParam().unplug) {
			ASSERT_TRUE(server->plug(scanner, 3));
		}
		const ScanParameter p = validScan(60);
		ASSERT_EQ(SetScanParameter(&p), 1) << takeCode();
		ASSERT_EQ(StartScan(), 1);
		std::vector<unsigned char> image(static_cast<size_t>(p.PixelNum) * p.LineNum);
		EXPECT_EQ(ReadScan(nullptr, image.data(), static_cast<uint32_t>(image.size())), 1);
		EXPECT_EQ(StopScan(), 1);
		for (int i = 0; i < 100 && threadCount() > baseThreads; ++i)
			std::this_thread::sleep_for(std::chrono::milliseconds(10));
		EXPECT_LE(threadCount(), baseThreads) << "a thread was left running";
	}

	// A scan started at a data rate that keeps it going for a while.
	void startSlowScan()
	{
		scanner->setDataRate(2000000);
		const ScanParameter p = validScan();
		ASSERT_EQ(SetScanParameter(&p), 1);
		ASSERT_EQ(StartScan(), 1);
	}

	long baseThreads = 0;
};

TEST_P(UnplugStallTest, EveryCallReturnsAndTheNextScanWorks)
{
	const std::string phase = GetParam().name;
	std::vector<unsigned char> image(static_cast<size_t>(100) * 200);
	if (phase == "discovery") {
		strike();
		timed("InitializeDriver", [] { return InitializeDriver(); });
	} else if (phase == "locked-call" || phase == "window") {
		const bool window = phase == "window";
		scanner->addFault(FaultRule::stallRead(kRead10).forDataType(window ? 0x60 : 0x69).always());
		std::atomic<int> result{ -1 };
		const auto start = Clock::now();
		std::thread call([&] {
			NvmRecord record;
			const ScanParameter p = validScan();
			result = window ? SetScanParameter(&p) : ReadNVMData(&record);
		});
		ASSERT_TRUE(awaitStalledRead(window ? 0x60 : 0x69));
		strike();
		timed("TerminateDriver", [] { return TerminateDriver(); });
		if (!GetParam().unplug)
			scanner->clearFaults();
		call.join();
		std::printf("| %-7s | %-14s | %-16s | %d |       | %5.2f s |\n", GetParam().unplug ? "unplug" : "stall",
			    phase.c_str(), window ? "SetScanParameter" : "ReadNVMData", result.load(), secondsSince(start));
		takeCode();
		StopScan();
	} else if (phase == "start") {
		const ScanParameter p = validScan();
		ASSERT_EQ(SetScanParameter(&p), 1);
		strike();
		if (!GetParam().unplug)
			scanner->addFault(FaultRule::stallRead(kRead10).forDataType(0x00).always());
		timed("StartScan", [] { return StartScan(); });
		timed("StopScan", [] { return StopScan(); });
	} else if (phase.rfind("image-", 0) == 0) {
		const uint32_t chunks = phase == "image-0" ? 0 : (phase == "image-1" ? 1 : 8);
		startSlowScan();
		if (chunks) {
			ASSERT_EQ(ReadScan(nullptr, image.data(), chunks * kChunkOut), 1);
		}
		if (!GetParam().unplug)
			scanner->addFault(FaultRule::stallRead(kRead10).forDataType(0x00).always());
		strike();
		if (GetParam().unplug)
			timed("ReadScan", [&] { return ReadScan(nullptr, image.data(), 200 * 100 - chunks * kChunkOut); });
		timed("StopScan", [] { return StopScan(); });
		timed("TerminateDriver", [] { return TerminateDriver(); });
	} else if (phase == "stopscan") {
		startSlowScan();
		ASSERT_EQ(ReadScan(nullptr, image.data(), 200 * 100), 1);
		strike();
		timed("StopScan", [] { return StopScan(); });
	} else if (phase == "button-wait") {
		ButtonReport report;
		ASSERT_EQ(ReadPushButton(&report), 1);
		strike();
		timed("ReadPushButton", [&] { return ReadPushButton(&report); });
		timed("TerminateDriver", [] { return TerminateDriver(); });
	}
	expectRecovery();
}

std::vector<Phase> allPhases()
{
	std::vector<Phase> phases;
	for (const char *name : { "discovery", "locked-call", "window", "start", "image-0", "image-1", "image-many",
				  "stopscan", "button-wait" })
		phases.push_back({ name, true });
	for (const char *name : { "locked-call", "window", "image-0", "image-1", "image-many" })
		phases.push_back({ name, false });
	return phases;
}

std::string phaseName(const ::testing::TestParamInfo<Phase> &info)
{
	return test::testNameOf(std::string(info.param.unplug ? "Unplug_" : "Stall_") + info.param.name);
}

INSTANTIATE_TEST_SUITE_P(Campaign, UnplugStallTest, ::testing::ValuesIn(allPhases()), phaseName);

// Another process holds the device lock or a scan and notices nothing of
// the unplug (it is stopped, or between calls); the waiter must learn of it
// at once rather than wait out its limit and be told "busy".
class UnplugDuringAWaitTest : public test::CampaignTest
{
protected:
	// Unplugs once the waiter has waited for a while; the seconds from the
	// unplug to `ended`'s return.
	template<typename Ended>
	double unplugAndTime(const char *what, Ended &&ended)
	{
		std::this_thread::sleep_for(std::chrono::milliseconds(700));
		const auto unplugged = Clock::now();
		server->unplug(0);
		ended();
		const double seconds = secondsSince(unplugged);
		std::printf("| unplug during %-28s | ended %.3f s after the unplug |\n", what, seconds);
		return seconds;
	}

	test::Client holdScanBusy()
	{
		test::Client holder = test::startClient({ "hold", "scan-busy", "return" });
		EXPECT_EQ(test::readLine(holder, 15000), "holding");
		return holder;
	}
};

// The lock's holder is stopped inside a stalled exchange.
TEST_F(UnplugDuringAWaitTest, TheLockWaitEndsWithTheDisconnect)
{
	scanner->addFault(FaultRule::stallRead(kRead10).forDataType(0x69).always());
	test::Client holder = test::startClient({ "hold", "locked-call", "return" });
	ASSERT_EQ(test::readLine(holder, 15000), "holding");
	kill(holder.pid, SIGSTOP);
	test::Client waiter = test::startClient({ "lock-wait" });
	ASSERT_EQ(test::readLine(waiter, 15000), "waiting");
	std::string line;
	const double seconds = unplugAndTime("the lock wait", [&] { line = test::readLine(waiter, 20000); });
	EXPECT_EQ(line, "lock-wait result=0 code=156");
	// The lock wait is 10 s: ended by the unplug, well before.
	EXPECT_LT(seconds, 5.0);
}

TEST_F(UnplugDuringAWaitTest, TorvaneScansBusyWaitEndsWithTheDisconnect)
{
	test::Client holder = holdScanBusy();
	const char *binary = std::getenv("TORVANE_BINARY_DIR");
	const test::TempDir folder;
	test::Client scan = test::startProgram(std::string(binary) + "/bin/torvane-scan",
					       { "-r", "50", "-x", "1in", "-y", "1in", "-o", folder.file("page.pnm") }, true);
	std::string text;
	const double seconds = unplugAndTime("torvane-scan's busy wait", [&] { text = test::readToEnd(scan, 70000); });
	EXPECT_EQ(test::reap(scan), 3);
	EXPECT_EQ(text, "torvane-scan: the scanner is busy with another program's scan; waiting up to 60 s (--wait to "
			"change, Ctrl-C to stop)\ntorvane-scan: the scanner could not be searched for: "
			"the scanner was disconnected (driver error 156)\n");
	EXPECT_LT(seconds, 5.0);
}

TEST_F(UnplugDuringAWaitTest, SaneStartsBusyWaitEndsWithAnIoError)
{
	if (!test::saneClientBuilt())
		GTEST_SKIP() << "no SANE backend in this build";
	test::Client sane = test::startSaneClient({ "start-on-signal" }, "# the default wait of 60 s\n");
	ASSERT_EQ(test::readLine(sane, 15000), "opened Success");
	test::Client holder = holdScanBusy();
	kill(sane.pid, SIGUSR1);
	std::string line;
	const double seconds = unplugAndTime("sane_start's busy wait", [&] { line = test::readLine(sane, 70000); });
	EXPECT_EQ(line, "start Error during device I/O");
	EXPECT_LT(seconds, 5.0);
}

} // namespace
