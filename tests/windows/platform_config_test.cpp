// SPDX-License-Identifier: MIT
// Win32 configuration: values of HKLM\SOFTWARE\Torvane\TWAIN\.

#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "support/win_test_support.h"

using namespace torvane;
using namespace torvane::wintest;

namespace {

class Configuration : public ::testing::Test
{
protected:
	void SetUp() override { removeConfigKey(); }
	void TearDown() override { removeConfigKey(); }
};

TEST_F(Configuration, MissingKeyOrValueIsMissing)
{
	char text[16] = "untouched";
	EXPECT_EQ(platform::readConfigNumber("DEBUGLEVEL"), std::nullopt);
	EXPECT_FALSE(platform::readConfigText("SAVEPATH", text, sizeof(text)));
	EXPECT_STREQ(text, "untouched");

	setConfigNumber("OTHER", 1);
	EXPECT_EQ(platform::readConfigNumber("DEBUGLEVEL"), std::nullopt);
	EXPECT_FALSE(platform::readConfigText("SAVEPATH", text, sizeof(text)));
	EXPECT_STREQ(text, "untouched");
}

TEST_F(Configuration, NumberIsADwordValue)
{
	setConfigNumber("DEBUGLEVEL", 7);
	EXPECT_EQ(platform::readConfigNumber("DEBUGLEVEL"), 7u);
	setConfigNumber("DEBUGLEVEL", 0xFFFFFFFFu);
	EXPECT_EQ(platform::readConfigNumber("DEBUGLEVEL"), 0xFFFFFFFFu);
}

TEST_F(Configuration, NumberOfAnotherTypeIsMissing)
{
	// "9" as text, and four bytes of binary: neither is a level someone set.
	setConfigText("DEBUGLEVEL", "9");
	EXPECT_EQ(platform::readConfigNumber("DEBUGLEVEL"), std::nullopt);
	const uint8_t bytes[4] = { 9, 0, 0, 0 };
	setConfigValue("DEBUGLEVEL", REG_BINARY, bytes, sizeof(bytes));
	EXPECT_EQ(platform::readConfigNumber("DEBUGLEVEL"), std::nullopt);
	const uint64_t wide = 9;
	setConfigValue("DEBUGLEVEL", REG_QWORD, &wide, sizeof(wide));
	EXPECT_EQ(platform::readConfigNumber("DEBUGLEVEL"), std::nullopt);
}

TEST_F(Configuration, TextIsReadAsStoredAndAfreshEachTime)
{
	char text[260];
	setConfigText("SAVEPATH", "C:\\logs\\");
	ASSERT_TRUE(platform::readConfigText("SAVEPATH", text, sizeof(text)));
	EXPECT_STREQ(text, "C:\\logs\\");

	setConfigText("SAVEPATH", "D:\\other place\\");
	ASSERT_TRUE(platform::readConfigText("SAVEPATH", text, sizeof(text)));
	EXPECT_STREQ(text, "D:\\other place\\");

	const char expandable[] = "%TEMP%\\";
	setConfigValue("SAVEPATH", REG_EXPAND_SZ, expandable, sizeof(expandable));
	ASSERT_TRUE(platform::readConfigText("SAVEPATH", text, sizeof(text)));
	EXPECT_STREQ(text, "%TEMP%\\");

	setConfigText("SAVEPATH", "");
	std::strcpy(text, "x");
	ASSERT_TRUE(platform::readConfigText("SAVEPATH", text, sizeof(text)));
	EXPECT_STREQ(text, "");
}

TEST_F(Configuration, TextIsCutToTheBufferAndAlwaysTerminated)
{
	const std::string longPath = "C:\\" + std::string(300, 'a') + "\\";
	setConfigText("SAVEPATH", longPath);
	char text[260];
	std::memset(text, 'z', sizeof(text));
	ASSERT_TRUE(platform::readConfigText("SAVEPATH", text, sizeof(text)));
	EXPECT_EQ(std::strlen(text), 259u);
	EXPECT_EQ(std::string(text), longPath.substr(0, 259));

	// Stored without its terminator: exactly the stored characters.
	setConfigValue("SAVEPATH", REG_SZ, "C:\\x\\", 5);
	char small[8];
	std::memset(small, 'z', sizeof(small));
	ASSERT_TRUE(platform::readConfigText("SAVEPATH", small, sizeof(small)));
	EXPECT_STREQ(small, "C:\\x\\");

	char one[1] = { 'z' };
	ASSERT_TRUE(platform::readConfigText("SAVEPATH", one, sizeof(one)));
	EXPECT_EQ(one[0], '\0');
}

TEST_F(Configuration, TextOfAnotherTypeIsMissing)
{
	setConfigNumber("SAVEPATH", 5);
	char text[16] = "untouched";
	EXPECT_FALSE(platform::readConfigText("SAVEPATH", text, sizeof(text)));
	EXPECT_STREQ(text, "untouched");
}

// A value of more than 4 MiB is no configuration value, and is not read.
TEST_F(Configuration, AValueOfMoreThan4MiBIsMissing)
{
	const std::string huge((4u << 20) + 1, 'p');
	setConfigValue("SAVEPATH", REG_SZ, huge.data(), static_cast<DWORD>(huge.size()));
	char text[16] = "untouched";
	EXPECT_FALSE(platform::readConfigText("SAVEPATH", text, sizeof(text)));
	EXPECT_STREQ(text, "untouched");
	setConfigValue("SAVEPATH", REG_SZ, huge.data(), static_cast<DWORD>(huge.size() - 1));
	ASSERT_TRUE(platform::readConfigText("SAVEPATH", text, sizeof(text)));
	EXPECT_EQ(std::string(text), huge.substr(0, 15));
}

// Values kept from a key older than the time stamps' slack end with its
// next write, and are read again once given back.
TEST_F(Configuration, KeptValuesEndWithTheKeysNextWrite)
{
	setConfigText("SAVEPATH", "C:\\first\\");
	setConfigNumber("DEBUGLEVEL", 2);
	Sleep(2200);
	char text[32];
	ASSERT_TRUE(platform::readConfigText("SAVEPATH", text, sizeof(text)));
	EXPECT_STREQ(text, "C:\\first\\");
	EXPECT_EQ(platform::readConfigNumber("DEBUGLEVEL"), 2u);

	setConfigText("SAVEPATH", "C:\\second\\");
	ASSERT_TRUE(platform::readConfigText("SAVEPATH", text, sizeof(text)));
	EXPECT_STREQ(text, "C:\\second\\");
	Sleep(2200);
	setConfigNumber("DEBUGLEVEL", 5);
	EXPECT_EQ(platform::readConfigNumber("DEBUGLEVEL"), 5u);
	ASSERT_TRUE(platform::readConfigText("SAVEPATH", text, sizeof(text)));
	EXPECT_STREQ(text, "C:\\second\\");

	platform::releaseConfigValues();
	removeConfigKey();
	EXPECT_EQ(platform::readConfigNumber("DEBUGLEVEL"), std::nullopt);
}

} // namespace
