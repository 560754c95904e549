// SPDX-License-Identifier: MIT
// The debug log: exact file bytes, the level rule and the save folder.

#include <cstring>
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "driver/debug_log.h"
#include "driver/driver_state.h"
#include "support/test_environment.h"

using namespace torvane;
using namespace torvane::driver;
using torvane::test::TempDir;

namespace {

class DebugLogTest : public ::testing::Test
{
protected:
	void configure(uint32_t level, const std::string &prefix)
	{
		test::configureLogging(level, prefix);
		test::attachDriver();
	}
	TempDir dir;
};

TEST_F(DebugLogTest, EveryLineStartsWithCrLfAndTheFileHasNoTrailingLineEnd)
{
	configure(2, dir.path() + "/");
	logLine(kMainLog, 2, "In   %d : InitializeDriver :", 0);
	logLine(kMainLog, 2, "Out  %d : InitializeDriver :", 1);
	EXPECT_EQ(test::readFile(dir.file("quorDll.txt")),
		  "\r\nIn   0 : InitializeDriver :\r\nOut  1 : InitializeDriver :");
}

TEST_F(DebugLogTest, ALineIsWrittenWhenItsLevelIsNotAboveTheThreshold)
{
	configure(2, dir.path() + "/");
	logLine(kMainLog, 2, "two");
	logLine(kMainLog, 3, "three");
	EXPECT_EQ(test::readFile(dir.file("quorDll.txt")), "\r\ntwo");

	configure(1, dir.path() + "/");
	logLine(kMainLog, 2, "not at one");
	EXPECT_EQ(test::readFile(dir.file("quorDll.txt")), "\r\ntwo");
}

TEST_F(DebugLogTest, LevelZeroWritesNothingAndTouchesNoFile)
{
	configure(0, dir.path() + "/");
	EXPECT_EQ(WriteDebugLog(kMainLog, "x", 1, 1), 1);
	EXPECT_FALSE(test::exists(dir.file("quorDll.txt")));
}

TEST_F(DebugLogTest, TheEmptyRecordAddsJustALineBreak)
{
	configure(2, dir.path() + "/");
	EXPECT_EQ(WriteDebugLog(kParamLog, "======Parameter Debug Output End==========", 42, 2), 1);
	EXPECT_EQ(WriteDebugLog(kParamLog, "", 0, 2), 1);
	EXPECT_EQ(test::readFile(dir.file("quorParam.txt")), "\r\n======Parameter Debug Output End==========\r\n");
}

TEST_F(DebugLogTest, OnlyTheGivenLengthIsWritten)
{
	configure(2, dir.path() + "/");
	WriteDebugLog(kVarLog, "abcdef", 3, 2);
	EXPECT_EQ(test::readFile(dir.file("quorvar.txt")), "\r\nabc");
}

TEST_F(DebugLogTest, SavePathWithoutTrailingSlashIsAPlainPrefix)
{
	configure(2, dir.path() + "/logs");
	logLine(kMainLog, 2, "line");
	EXPECT_EQ(test::readFile(dir.path() + "/logsquorDll.txt"), "\r\nline");
	EXPECT_STREQ(driverState.DebugImagePath, (dir.path() + "/logsImage0.bmp").c_str());
	EXPECT_STREQ(driverState.SavePath, (dir.path() + "/logs").c_str());
}

TEST_F(DebugLogTest, SavePathIsReadAfreshForEveryLine)
{
	configure(2, dir.path() + "/");
	TempDir other;
	test::configureLogging(2, other.path() + "/");
	logLine(kMainLog, 2, "moved");
	EXPECT_EQ(test::readFile(other.file("quorDll.txt")), "\r\nmoved");
	EXPECT_FALSE(test::exists(dir.file("quorDll.txt")));
}

TEST_F(DebugLogTest, AVanishedFolderIsSkippedSilently)
{
	const std::string folder = dir.path() + "/gone/";
	std::filesystem::create_directory(folder);
	configure(2, folder);
	logLine(kMainLog, 2, "before");
	std::filesystem::remove_all(folder);
	setLastError(7);
	EXPECT_EQ(WriteDebugLog(kMainLog, "after", 5, 2), 0);
	EXPECT_EQ(lastError(), 7);
	EXPECT_FALSE(test::exists(folder));
}

TEST_F(DebugLogTest, ExistingContentIsKeptAndAppendedTo)
{
	configure(2, dir.path() + "/");
	{
		std::ofstream out(dir.file("quorDll.txt"), std::ios::binary);
		out << "old";
	}
	logLine(kMainLog, 2, "new");
	EXPECT_EQ(test::readFile(dir.file("quorDll.txt")), "old\r\nnew");
}

TEST_F(DebugLogTest, APathThatDoesNotFitIsDroppedWithoutOverrun)
{
	const std::string longFolder = dir.path() + "/" + std::string(300 - dir.path().size(), 'x');
	configure(2, longFolder);
	EXPECT_EQ(WriteDebugLog(kMainLog, "line", 4, 2), 0);
	// 259 usable bytes: the folder read is cut to fit, the debug image name is refused.
	EXPECT_EQ(std::strlen(driverState.SavePath), 259u);
	EXPECT_STREQ(driverState.DebugImagePath, "");
}

TEST_F(DebugLogTest, AMissingSavePathDropsTheLine)
{
	test::writeConfig("DEBUGLEVEL=2\n");
	test::attachDriver();
	EXPECT_EQ(WriteDebugLog(kMainLog, "line", 4, 2), 0);
	EXPECT_STREQ(driverState.DebugImagePath, "Image0.bmp");
}

TEST_F(DebugLogTest, LongLinesAreCutTo259Characters)
{
	configure(2, dir.path() + "/");
	logLine(kMainLog, 2, "%s", std::string(400, 'a').c_str());
	EXPECT_EQ(test::readFile(dir.file("quorDll.txt")), "\r\n" + std::string(259, 'a'));
}

} // namespace
