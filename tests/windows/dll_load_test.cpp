// SPDX-License-Identifier: MIT
// RM735.dll loaded as a front end loads it: with and without the registry
// key, its log, discovery without a scanner, and the library's own name.

#include <cstring>
#include <string>

#include <windows.h>

#include <gtest/gtest.h>

#include "support/driver_files.h"
#include "support/torvane_test.h"
#include "support/win_test_support.h"
#include "torvane/torvane.h"

using namespace torvane::wintest;

namespace {

class LoadedDll : public ::testing::Test
{
protected:
	void SetUp() override { removeConfigKey(); }
	void TearDown() override { removeConfigKey(); }

	TorvaneTestState stateOf(const Library &library)
	{
		TorvaneTestState state{};
		auto getState = library.function<TorvaneTestGetStateCall>("TorvaneTestGetState");
		EXPECT_NE(getState, nullptr);
		if (getState)
			getState(&state);
		return state;
	}

	TempDir dir;
};

TEST_F(LoadedDll, LoadsWithoutTheKeyUnderBothModelNames)
{
	for (const std::string &source : { shippedDll(), shippedSecondModelDll() }) {
		const std::string name = source.substr(source.rfind('\\') + 1);
		Library library(copyAs(source, dir, name));
		ASSERT_TRUE(library.loaded()) << name << ": error " << GetLastError();
		EXPECT_EQ(library.call("ResetScanner"), 1);
		EXPECT_EQ(library.call("ResetPushButton"), 1);
		EXPECT_EQ(library.call("CheckPushButton"), 1);
		EXPECT_EQ(library.call("TerminateDriver"), 1);
		auto doCancel = library.function<void (*)()>("DoCancel");
		ASSERT_NE(doCancel, nullptr);
		doCancel();
		// Nothing logged anywhere without the key: no file in the folder
		// but the library itself.
		EXPECT_FALSE(fileExists(dir.file("quorDll.txt")));
	}
	// One function under three names; no C++ name exported.
	Library library(copyAs(shippedDll(), dir, "RM735.dll"));
	EXPECT_EQ(library.symbol("ResetPushButton"), library.symbol("ResetScanner"));
	EXPECT_EQ(library.symbol("CheckPushButton"), library.symbol("ResetScanner"));
	EXPECT_EQ(library.symbol("_ZN7torvane6driver15SeizeSYSControlEv"), nullptr);
	EXPECT_EQ(library.symbol("TorvaneTestGetState"), nullptr);
}

TEST_F(LoadedDll, TheKeyDecidesLevelAndFolderOfTheLog)
{
	setConfigNumber("DEBUGLEVEL", 3);
	setConfigText("SAVEPATH", dir.path());
	Library library(copyAs(shippedDll(), dir, "RM735.dll"));
	ASSERT_TRUE(library.loaded());
	EXPECT_EQ(library.call("TerminateDriver"), 1);
	EXPECT_EQ(library.call("ResetScanner"), 1);
	// No scanner on this machine: discovery walks all 127 names in vain.
	EXPECT_EQ(library.call("InitializeDriver"), 0);
	EXPECT_EQ(readFile(dir.file("quorDll.txt")),
		  "\r\nIn   0 : TerminateDriver :"
		  "\r\nIn   0 : SeizeSYSControl :"
		  "\r\nOut  1 : SeizeSYSControl :"
		  "\r\nOut  1 : TerminateDriver :"
		  "\r\nIn   0 : InitializeDriver :"
		  "\r\nIn   0 : SeizeSYSControl :"
		  "\r\nOut  1 : SeizeSYSControl :"
		  "\r\nIn   0 : FindScanner :"
		  "\r\nOut  0 : FindScanner :"
		  "\r\nOut  0 : InitializeDriver :");
}

TEST_F(LoadedDll, LevelTwoWritesOnlyTheEntryAndExitLines)
{
	setConfigNumber("DEBUGLEVEL", 2);
	setConfigText("SAVEPATH", dir.path());
	Library library(copyAs(shippedDll(), dir, "KT918.dll"));
	ASSERT_TRUE(library.loaded());
	EXPECT_EQ(library.call("InitializeDriver"), 0);
	EXPECT_EQ(readFile(dir.file("quorDll.txt")), "\r\nIn   0 : InitializeDriver :\r\nOut  0 : InitializeDriver :");
}

TEST_F(LoadedDll, AttachReadsTheRegistryOnce)
{
	setConfigNumber("DEBUGLEVEL", 9);
	setConfigText("SAVEPATH", "C:\\scans");
	Library library(copyAs(testDriverDll(), dir, "RM735.dll"));
	ASSERT_TRUE(library.loaded());
	setConfigNumber("DEBUGLEVEL", 1);
	const TorvaneTestState state = stateOf(library);
	EXPECT_EQ(state.debugLevel, 9u);
	EXPECT_STREQ(state.savePath, "C:\\scans");
	EXPECT_STREQ(state.debugImagePath, "C:\\scansImage0.bmp");
	EXPECT_EQ(state.rawTestMode, 0);
	EXPECT_EQ(state.hasDeviceEvent, 1);
	EXPECT_EQ(state.scanBusy, 0);
}

TEST_F(LoadedDll, WithoutAnyScannerInitializeDriverFailsWith129)
{
	Library library(copyAs(shippedDll(), dir, "RM735.dll"));
	ASSERT_TRUE(library.loaded());
	auto statusEx = library.function<decltype(&::GetScannerStatusEx)>("GetScannerStatusEx");
	auto status = library.function<decltype(&::GetScannerStatus)>("GetScannerStatus");
	ASSERT_NE(statusEx, nullptr);
	ASSERT_NE(status, nullptr);

	EXPECT_EQ(library.call("InitializeDriver"), 0);
	unsigned char bytes[3] = { 7, 7, 7 };
	int32_t code = -1;
	EXPECT_EQ(statusEx(&bytes[0], &bytes[1], &bytes[2], &code), 1);
	EXPECT_EQ(code, 129);
	EXPECT_EQ(bytes[0] | bytes[1] | bytes[2], 0);
	EXPECT_EQ(statusEx(&bytes[0], &bytes[1], &bytes[2], &code), 1);
	EXPECT_EQ(code, 0);

	// Every exchange finds no device file: 155, after one more discovery.
	auto powerSave = library.function<decltype(&::SetPowerSaveTime)>("SetPowerSaveTime");
	ASSERT_NE(powerSave, nullptr);
	EXPECT_EQ(powerSave(5), 0);
	unsigned char low = 0;
	EXPECT_EQ(status(&bytes[0], &bytes[1], &bytes[2], &low), 1);
	EXPECT_EQ(low, 155);
}

TEST_F(LoadedDll, TheLibraryKnowsItsOwnFileForTheModelCheck)
{
	for (const char *name : { "RM735.dll", "RM735_x64.dll", "KT918.dll" }) {
		Library library(copyAs(testDriverDll(), dir, name));
		ASSERT_TRUE(library.loaded()) << name;
		EXPECT_EQ(std::string(stateOf(library).libraryPath), dir.file(name));
	}
}

} // namespace
