// SPDX-License-Identifier: MIT
// The driver frame on Win32, linked into the test program: attach from the
// registry, the named device event, the shared ScanBusy, the exchange lock
// and the log.

#include <cstring>
#include <string>

#include <windows.h>

#include <gtest/gtest.h>

#include "driver/device_lock.h"
#include "driver/driver_state.h"
#include "platform/platform.h"
#include "platform/win32/shared_state.h"
#include "support/win_test_support.h"
#include "torvane/torvane.h"

using namespace torvane;
using namespace torvane::wintest;

namespace {

void attach()
{
	using namespace driver;
	driverState.resetConfigurationAndRegisters();
	setLockWaitMs(10000);
	processAttach();
}

class DriverFrame : public ::testing::Test
{
protected:
	void SetUp() override { removeConfigKey(); }
	void TearDown() override
	{
		driver::processDetach();
		removeConfigKey();
	}
};

// The device event as another process sees it.
HANDLE openDeviceEventByName(const char *name = platform::kDeviceEventName)
{
	return OpenEventA(SYNCHRONIZE | EVENT_MODIFY_STATE | READ_CONTROL, FALSE, name);
}

TEST(DeviceEventName, OnlyAnExactTrueFromIsWow64ProcessSelectsTheSecondName)
{
	EXPECT_STREQ(platform::deviceEventNameFor(false, FALSE), "Global\\TQX5800");
	EXPECT_STREQ(platform::deviceEventNameFor(false, TRUE), "Global\\TQX5800");
	EXPECT_STREQ(platform::deviceEventNameFor(true, FALSE), "Global\\TQX5800");
	EXPECT_STREQ(platform::deviceEventNameFor(true, TRUE), "Global\\TQX5800_x64");
	EXPECT_STREQ(platform::deviceEventNameFor(true, 2), "Global\\TQX5800");
}

TEST_F(DriverFrame, AttachWithoutKeyRunsWithLevelZeroAndTheBareImageName)
{
	attach();
	EXPECT_EQ(driver::driverState.DebugLevel, 0u);
	EXPECT_STREQ(driver::driverState.SavePath, "");
	EXPECT_STREQ(driver::driverState.DebugImagePath, "Image0.bmp");
	EXPECT_EQ(driver::driverState.RawTestMode, 0);
	EXPECT_TRUE(platform::hasDeviceEvent());
}

TEST_F(DriverFrame, AttachReadsLevelAndSavePathWithoutInsertingASeparator)
{
	setConfigNumber("DEBUGLEVEL", 9);
	setConfigText("SAVEPATH", "C:\\logs");
	attach();
	EXPECT_EQ(driver::driverState.DebugLevel, 9u);
	EXPECT_STREQ(driver::driverState.SavePath, "C:\\logs");
	EXPECT_STREQ(driver::driverState.DebugImagePath, "C:\\logsImage0.bmp");
}

TEST_F(DriverFrame, LibraryPathIsTheModuleThatHoldsTheDriver)
{
	attach();
	// Linked into this program, the driver's module is the program.
	char program[MAX_PATH + 1] = {};
	GetModuleFileNameA(nullptr, program, MAX_PATH);
	EXPECT_STREQ(driver::driverState.LibraryPath, program);
	EXPECT_EQ(platform::hostProgramPath(), program);
	EXPECT_NE(std::string(program).find("win32_platform_tests.exe"), std::string::npos);
}

TEST_F(DriverFrame, TheSixtyFourBitDriverUsesTheGlobalEventWithANullAccessList)
{
	attach();
	HANDLE event = openDeviceEventByName();
	ASSERT_NE(event, nullptr);
	EXPECT_EQ(openDeviceEventByName(platform::kDeviceEventNameWow64), nullptr);

	// No access list at all: every user may use it.
	char buffer[256];
	DWORD needed = 0;
	ASSERT_TRUE(GetKernelObjectSecurity(event, DACL_SECURITY_INFORMATION, buffer, sizeof(buffer), &needed))
		<< GetLastError();
	BOOL present = FALSE;
	BOOL defaulted = FALSE;
	PACL acl = reinterpret_cast<PACL>(1);
	ASSERT_TRUE(GetSecurityDescriptorDacl(buffer, &present, &acl, &defaulted));
	EXPECT_TRUE(present);
	EXPECT_EQ(acl, nullptr);
	CloseHandle(event);
}

TEST_F(DriverFrame, TheLockIsTheNamedEventWhoeverHoldsIt)
{
	attach();
	driver::setLockWaitMs(100);
	HANDLE event = openDeviceEventByName();
	ASSERT_NE(event, nullptr);

	// Taken from outside (as another process would): refused after the wait.
	ASSERT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
	EXPECT_EQ(driver::SeizeSYSControl(), 0);
	EXPECT_EQ(driver::lastError(), 162);

	// Handed on: taken, and then held (auto reset) until released.
	SetEvent(event);
	EXPECT_EQ(driver::SeizeSYSControl(), 1);
	EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT));
	driver::releaseDeviceLock();
	EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
	SetEvent(event);
	CloseHandle(event);
}

TEST_F(DriverFrame, DetachHandsOnOnlyALockThisProcessHolds)
{
	attach();
	HANDLE event = openDeviceEventByName();
	ASSERT_NE(event, nullptr);
	ASSERT_EQ(driver::SeizeSYSControl(), 1);
	driver::processDetach();
	EXPECT_FALSE(platform::hasDeviceEvent());
	EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);

	// Now held by "another process": a detach leaves it held.
	attach();
	driver::processDetach();
	EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT));
	SetEvent(event);
	CloseHandle(event);
}

TEST_F(DriverFrame, ScanBusyLivesInTheSharedSectionOfTheModule)
{
	attach();
	// Find the section that holds the flag in this module's image.
	auto *base = reinterpret_cast<const uint8_t *>(GetModuleHandleA(nullptr));
	auto *dos = reinterpret_cast<const IMAGE_DOS_HEADER *>(base);
	auto *nt = reinterpret_cast<const IMAGE_NT_HEADERS64 *>(base + dos->e_lfanew);
	const IMAGE_SECTION_HEADER *section = IMAGE_FIRST_SECTION(nt);
	const auto flag = reinterpret_cast<const uint8_t *>(platform::scanBusyFlag());
	const IMAGE_SECTION_HEADER *holder = nullptr;
	for (unsigned i = 0; i < nt->FileHeader.NumberOfSections; ++i, ++section)
		if (flag >= base + section->VirtualAddress && flag < base + section->VirtualAddress + section->Misc.VirtualSize)
			holder = section;
	ASSERT_NE(holder, nullptr);
	EXPECT_EQ(std::string(reinterpret_cast<const char *>(holder->Name), 7), ".shared");
	EXPECT_TRUE(holder->Characteristics & IMAGE_SCN_MEM_SHARED);
	EXPECT_TRUE(holder->Characteristics & IMAGE_SCN_MEM_WRITE);

	EXPECT_EQ(driver::scanBusy(), 0);
	driver::setScanBusy(1);
	EXPECT_EQ(*platform::scanBusyFlag(), 1);
	EXPECT_EQ(driver::SeizeSYSControl(), 0);
	EXPECT_EQ(driver::lastError(), 162);
	EXPECT_EQ(driver::exchangeScanBusy(0), 1);
}

DWORD WINAPI takeExchangeLock(LPVOID argument)
{
	platform::lockExchange(10000);
	SetEvent(static_cast<HANDLE>(argument));
	platform::unlockExchange();
	return 0;
}

DWORD WINAPI dieHoldingExchangeLock(LPVOID)
{
	platform::lockExchange(10000);
	return 0; // never unlocked
}

TEST_F(DriverFrame, ExchangeLockIsReentrantMachineWideAndSurvivesAnAbandonedHolder)
{
	attach();
	HANDLE mutex = OpenMutexA(SYNCHRONIZE, FALSE, "Global\\TQX5800_exchange");
	ASSERT_NE(mutex, nullptr);
	CloseHandle(mutex);

	// The nested REQUEST SENSE takes it again in the same thread.
	platform::lockExchange(10000);
	platform::lockExchange(10000);
	HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
	HANDLE other = CreateThread(nullptr, 0, takeExchangeLock, done, 0, nullptr);
	platform::unlockExchange();
	EXPECT_EQ(WaitForSingleObject(done, 200), static_cast<DWORD>(WAIT_TIMEOUT));
	platform::unlockExchange();
	EXPECT_EQ(WaitForSingleObject(done, 5000), WAIT_OBJECT_0);
	WaitForSingleObject(other, 5000);
	CloseHandle(other);

	// A thread that ends inside an exchange (a forced end) does not wedge
	// the next one.
	HANDLE dead = CreateThread(nullptr, 0, dieHoldingExchangeLock, nullptr, 0, nullptr);
	WaitForSingleObject(dead, 5000);
	CloseHandle(dead);
	ResetEvent(done);
	other = CreateThread(nullptr, 0, takeExchangeLock, done, 0, nullptr);
	EXPECT_EQ(WaitForSingleObject(done, 5000), WAIT_OBJECT_0);
	WaitForSingleObject(other, 5000);
	CloseHandle(other);
	CloseHandle(done);
}

TEST_F(DriverFrame, LogLinesStartWithCrLfAndAreAppendedByteForByte)
{
	TempDir logs;
	setConfigNumber("DEBUGLEVEL", 3);
	setConfigText("SAVEPATH", logs.path());
	attach();
	EXPECT_EQ(TerminateDriver(), 1);
	EXPECT_EQ(readFile(logs.file("quorDll.txt")),
		  "\r\nIn   0 : TerminateDriver :"
		  "\r\nIn   0 : SeizeSYSControl :"
		  "\r\nOut  1 : SeizeSYSControl :"
		  "\r\nOut  1 : TerminateDriver :");

	// SAVEPATH is read per line: a new folder takes the next lines.
	TempDir other;
	setConfigText("SAVEPATH", other.path());
	setConfigNumber("DEBUGLEVEL", 2); // read at attach only: still 3
	EXPECT_EQ(TerminateDriver(), 1);
	EXPECT_EQ(readFile(other.file("quorDll.txt")),
		  "\r\nIn   0 : TerminateDriver :"
		  "\r\nIn   0 : SeizeSYSControl :"
		  "\r\nOut  1 : SeizeSYSControl :"
		  "\r\nOut  1 : TerminateDriver :");
}

TEST_F(DriverFrame, LogIsWrittenWhileAViewerHasItOpen)
{
	TempDir logs;
	setConfigNumber("DEBUGLEVEL", 2);
	setConfigText("SAVEPATH", logs.path());
	attach();
	ASSERT_TRUE(writeFile(logs.file("quorDll.txt"), "before"));
	HANDLE viewer = CreateFileA(logs.file("quorDll.txt").c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
				    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
	ASSERT_NE(viewer, INVALID_HANDLE_VALUE);
	EXPECT_EQ(TerminateDriver(), 1);
	CloseHandle(viewer);
	EXPECT_EQ(readFile(logs.file("quorDll.txt")),
		  "before\r\nIn   0 : TerminateDriver :\r\nOut  1 : TerminateDriver :");
}

TEST_F(DriverFrame, InitializeDriverWithoutAnyScannerFailsWith129)
{
	TempDir logs;
	setConfigNumber("DEBUGLEVEL", 3);
	setConfigText("SAVEPATH", logs.path());
	attach();
	// No device calls replaced: the system's \\.\usbscanN, of which there is none.
	EXPECT_EQ(InitializeDriver(), 0);
	EXPECT_EQ(driver::lastError(), 129);
	EXPECT_EQ(readFile(logs.file("quorDll.txt")),
		  "\r\nIn   0 : InitializeDriver :"
		  "\r\nIn   0 : SeizeSYSControl :"
		  "\r\nOut  1 : SeizeSYSControl :"
		  "\r\nIn   0 : FindScanner :"
		  "\r\nOut  0 : FindScanner :"
		  "\r\nOut  0 : InitializeDriver :");
}

} // namespace
