// SPDX-License-Identifier: MIT
// Process attach: configuration values and raw test mode.

#include <gtest/gtest.h>

#include "driver/driver_state.h"
#include "platform/platform.h"
#include "support/test_environment.h"

using namespace torvane;
using namespace torvane::driver;

namespace {

TEST(RawTestMode, OnlyTheExactHostFileNameInAnyCaseSwitchesItOn)
{
	EXPECT_TRUE(isRawTestHost("C:\\tools\\vexmarch.exe"));
	EXPECT_TRUE(isRawTestHost("C:\\tools\\VexMarch.EXE"));
	EXPECT_TRUE(isRawTestHost("/opt/bin/VEXMARCH.exe"));
	EXPECT_TRUE(isRawTestHost("vexmarch.exe"));
	EXPECT_FALSE(isRawTestHost("C:\\tools\\xvexmarch.exe"));
	EXPECT_FALSE(isRawTestHost("C:\\tools\\vexmarch.exe.bak"));
	EXPECT_FALSE(isRawTestHost("C:\\tools\\vexmarch"));
	EXPECT_FALSE(isRawTestHost("/opt/vexmarch.exe/twain"));
	EXPECT_FALSE(isRawTestHost(""));
}

TEST(RawTestMode, ThisTestProgramIsNotARawTestHost)
{
	test::removeConfig();
	test::attachDriver();
	EXPECT_EQ(driverState.RawTestMode, 0);
	test::detachDriver();
}

TEST(Configuration, MissingKeyLeavesLevelZeroAndTheBareImageName)
{
	test::removeConfig();
	test::attachDriver();
	EXPECT_EQ(driverState.DebugLevel, 0u);
	EXPECT_STREQ(driverState.SavePath, "");
	EXPECT_STREQ(driverState.DebugImagePath, "Image0.bmp");
	EXPECT_TRUE(platform::hasDeviceEvent());
	test::detachDriver();
}

TEST(Configuration, NumbersAreDecimalOrHexAndCommentsAreSkipped)
{
	test::writeConfig("# DEBUGLEVEL=7\nDEBUGLEVEL=0x9\nSAVEPATH=/tmp/with space/\n");
	EXPECT_EQ(platform::readConfigNumber("DEBUGLEVEL"), 9u);
	char text[260];
	ASSERT_TRUE(platform::readConfigText("SAVEPATH", text, sizeof(text)));
	EXPECT_STREQ(text, "/tmp/with space/");

	test::writeConfig("DEBUGLEVEL=12\r\n");
	EXPECT_EQ(platform::readConfigNumber("DEBUGLEVEL"), 12u);
	test::writeConfig("DEBUGLEVEL=twelve\n");
	EXPECT_EQ(platform::readConfigNumber("DEBUGLEVEL"), std::nullopt);
	EXPECT_FALSE(platform::readConfigText("SAVEPATH", text, sizeof(text)));
}

TEST(Configuration, AttachReadsLevelAndPaths)
{
	test::configureLogging(9, "/var/log/torvane/");
	test::attachDriver();
	EXPECT_EQ(driverState.DebugLevel, 9u);
	EXPECT_STREQ(driverState.SavePath, "/var/log/torvane/");
	EXPECT_STREQ(driverState.DebugImagePath, "/var/log/torvane/Image0.bmp");
	test::detachDriver();
}

} // namespace
