// SPDX-License-Identifier: MIT
// The device lock across processes, the scan-busy flag and the frame exports.

#include <chrono>
#include <cstring>

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "driver/device_lock.h"
#include "driver/driver_state.h"
#include "platform/platform.h"
#include "support/test_environment.h"
#include "torvane/torvane.h"

using namespace torvane;
using namespace torvane::driver;

namespace {

// A pipe to let a forked child tell the parent where it is.
class Pipe
{
public:
	Pipe() { EXPECT_EQ(pipe(fds_), 0); }
	~Pipe()
	{
		close(fds_[0]);
		close(fds_[1]);
	}
	void send(char c) { EXPECT_EQ(write(fds_[1], &c, 1), 1); }
	char receive()
	{
		char c = 0;
		EXPECT_EQ(read(fds_[0], &c, 1), 1);
		return c;
	}

private:
	int fds_[2];
};

int waitChild(pid_t pid)
{
	int status = 0;
	waitpid(pid, &status, 0);
	return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

double secondsSince(std::chrono::steady_clock::time_point start)
{
	return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

class DeviceLockTest : public ::testing::Test
{
protected:
	void SetUp() override
	{
		test::removeConfig();
		test::attachDriver();
		setScanBusy(0);
	}
	void TearDown() override { test::detachDriver(); }
};

TEST_F(DeviceLockTest, TheLockIsTakenAndReleased)
{
	ASSERT_EQ(SeizeSYSControl(), 1);
	EXPECT_TRUE(deviceLockHeldHere());
	releaseDeviceLock();
	EXPECT_FALSE(deviceLockHeldHere());
	ASSERT_EQ(SeizeSYSControl(), 1);
	releaseDeviceLock();
}

TEST_F(DeviceLockTest, TheLockIsNotReentrant)
{
	setLockWaitMs(200);
	ASSERT_EQ(SeizeSYSControl(), 1);
	setLastError(0);
	EXPECT_EQ(SeizeSYSControl(), 0);
	EXPECT_EQ(lastError(), 162);
	releaseDeviceLock();
}

TEST_F(DeviceLockTest, ASecondProcessWaitsAndGetsTheLockAfterRelease)
{
	Pipe toParent;
	ASSERT_EQ(SeizeSYSControl(), 1);
	const auto start = std::chrono::steady_clock::now();
	pid_t child = fork();
	if (child == 0) {
		toParent.send('w');
		int got = SeizeSYSControl();
		_exit(got == 1 ? 0 : 1);
	}
	EXPECT_EQ(toParent.receive(), 'w');
	platform::sleepMs(500);
	// The child is still waiting: it has not exited.
	EXPECT_EQ(waitpid(child, nullptr, WNOHANG), 0);
	releaseDeviceLock();
	EXPECT_EQ(waitChild(child), 0);
	EXPECT_LT(secondsSince(start), 5.0);
}

TEST_F(DeviceLockTest, AWaitThatIsNeverAnsweredFailsWith162)
{
	setLockWaitMs(300);
	ASSERT_EQ(SeizeSYSControl(), 1);
	pid_t child = fork();
	if (child == 0) {
		setLastError(0);
		const auto start = std::chrono::steady_clock::now();
		int got = SeizeSYSControl();
		const double waited = secondsSince(start);
		_exit(got == 0 && lastError() == 162 && waited >= 0.25 && waited < 3.0 ? 0 : 1);
	}
	EXPECT_EQ(waitChild(child), 0);
	releaseDeviceLock();
}

TEST_F(DeviceLockTest, TheLockWaitIsTenSecondsByDefault)
{
	EXPECT_EQ(lockWaitMs(), 10000u);
}

TEST_F(DeviceLockTest, AProcessThatDiesHoldingTheLockHandsItOn)
{
	pid_t child = fork();
	if (child == 0)
		_exit(SeizeSYSControl() == 1 ? 0 : 1); // no detach: as if killed
	ASSERT_EQ(waitChild(child), 0);
	setLockWaitMs(3000);
	const auto start = std::chrono::steady_clock::now();
	EXPECT_EQ(SeizeSYSControl(), 1);
	EXPECT_LT(secondsSince(start), 2.0);
	releaseDeviceLock();
}

TEST_F(DeviceLockTest, AProcessThatDetachesHoldingTheLockReleasesIt)
{
	Pipe toParent;
	pid_t child = fork();
	if (child == 0) {
		int got = SeizeSYSControl();
		toParent.send('h');
		platform::sleepMs(300);
		processDetach();
		platform::sleepMs(2000); // still alive: only the detach can release
		_exit(got == 1 ? 0 : 1);
	}
	EXPECT_EQ(toParent.receive(), 'h');
	setLockWaitMs(1500);
	EXPECT_EQ(SeizeSYSControl(), 1);
	releaseDeviceLock();
	EXPECT_EQ(waitChild(child), 0);
}

TEST_F(DeviceLockTest, DetachLeavesALockHeldByAnotherProcessAlone)
{
	Pipe toChild;
	pid_t child = fork();
	if (child == 0) {
		toChild.receive(); // the parent holds the lock now
		// This process never took the lock: its detach must not free it.
		processDetach();
		platform::openDeviceEvent();
		setLockWaitMs(300);
		_exit(SeizeSYSControl() == 0 ? 0 : 1);
	}
	ASSERT_EQ(SeizeSYSControl(), 1);
	toChild.send('g');
	EXPECT_EQ(waitChild(child), 0);
	releaseDeviceLock();
}

TEST_F(DeviceLockTest, ScanBusyInOneProcessRefusesEveryLockedCallOfAnotherAtOnce)
{
	setScanBusy(1);
	pid_t child = fork();
	if (child == 0) {
		setLastError(0);
		const auto start = std::chrono::steady_clock::now();
		int terminate = TerminateDriver();
		bool ok = terminate == 0 && lastError() == 162;
		setLastError(0);
		ok = ok && SeizeSYSControl() == 0 && lastError() == 162;
		_exit(ok && secondsSince(start) < 1.0 ? 0 : 1);
	}
	EXPECT_EQ(waitChild(child), 0);
	setScanBusy(0);
}

TEST_F(DeviceLockTest, ScanBusyIsSharedWithAnotherProcess)
{
	pid_t child = fork();
	if (child == 0) {
		setScanBusy(1);
		_exit(0);
	}
	EXPECT_EQ(waitChild(child), 0);
	EXPECT_EQ(scanBusy(), 1);
	EXPECT_EQ(exchangeScanBusy(0), 1);
	EXPECT_EQ(scanBusy(), 0);
}

TEST_F(DeviceLockTest, TerminateDriverTakesAndReleasesTheLockAndResetsTheButtonWait)
{
	driverState.ButtonReadPending = 1;
	EXPECT_EQ(TerminateDriver(), 1);
	EXPECT_EQ(driverState.ButtonReadPending, 0);
	EXPECT_EQ(SeizeSYSControl(), 1);
	releaseDeviceLock();
}

TEST_F(DeviceLockTest, TerminateDriverDuringAScanFailsButStillResetsTheButtonWait)
{
	setScanBusy(1);
	driverState.ButtonReadPending = 1;
	setLastError(0);
	EXPECT_EQ(TerminateDriver(), 0);
	EXPECT_EQ(lastError(), 162);
	EXPECT_EQ(driverState.ButtonReadPending, 0);
	setScanBusy(0);
}

TEST_F(DeviceLockTest, ResetFunctionsAlwaysSucceedAndChangeNothing)
{
	setLastError(55);
	EXPECT_EQ(ResetScanner(), 1);
	EXPECT_EQ(ResetPushButton(), 1);
	EXPECT_EQ(CheckPushButton(), 1);
	EXPECT_EQ(lastError(), 55);
	EXPECT_EQ(reinterpret_cast<void *>(&ResetPushButton), reinterpret_cast<void *>(&ResetScanner));
}

TEST_F(DeviceLockTest, DoCancelOnlySetsTheFlag)
{
	driverState.CancelRequested = 0;
	DoCancel();
	EXPECT_EQ(driverState.CancelRequested.load(), 1);
	EXPECT_EQ(scanBusy(), 0);
}

TEST_F(DeviceLockTest, TerminateDriverLogsItsLinesAndTheLockSteps)
{
	test::TempDir dir;
	test::configureLogging(3, dir.path() + "/");
	test::attachDriver();
	EXPECT_EQ(TerminateDriver(), 1);
	EXPECT_EQ(test::readFile(dir.file("quorDll.txt")),
		  "\r\nIn   0 : TerminateDriver :"
		  "\r\nIn   0 : SeizeSYSControl :"
		  "\r\nOut  1 : SeizeSYSControl :"
		  "\r\nOut  1 : TerminateDriver :");
}

} // namespace
