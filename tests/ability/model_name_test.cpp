// SPDX-License-Identifier: MIT
// The model name taken from the library's file name, and the match with the
// scanner's product identification.

#include <array>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "ability/model_name.h"

using namespace torvane::ability;

namespace {

std::array<uint8_t, 16> productId(const char *text, char padding = '\0')
{
	std::array<uint8_t, 16> id;
	id.fill(static_cast<uint8_t>(padding));
	std::memcpy(id.data(), text, std::strlen(text));
	return id;
}

TEST(ModelName, FromLibraryPaths)
{
	EXPECT_EQ(modelNameFromPath("C:\\drivers\\RM735.dll"), "RM735");
	EXPECT_EQ(modelNameFromPath("C:\\drivers\\RM735_x64.dll"), "RM735");
	EXPECT_EQ(modelNameFromPath("C:\\drivers\\RM735.beta.dll"), "beta");
	EXPECT_EQ(modelNameFromPath("/usr/lib/torvane/RM735.so"), "RM735");
	EXPECT_EQ(modelNameFromPath("/usr/lib/torvane/RM735_x64.so"), "RM735");
	EXPECT_EQ(modelNameFromPath("/usr/lib/torvane/RM735.beta.so"), "beta");
	EXPECT_EQ(modelNameFromPath("/opt/a_b/KT918.so"), "KT918");
	// '_' moves the end only once a '.' has been met.
	EXPECT_EQ(modelNameFromPath("/opt/RM_735_a.so"), "RM");
	// Without a dot the last separator ends the name.
	EXPECT_EQ(modelNameFromPath("/opt/xy/RM735"), "xy");
}

TEST(ModelName, PathsWithoutASeparator)
{
	EXPECT_EQ(modelNameFromPath("RM735.so"), "RM735");
	EXPECT_EQ(modelNameFromPath("RM735_x64.dll"), "RM735");
	EXPECT_EQ(modelNameFromPath("RM735"), "RM735");
	EXPECT_EQ(modelNameFromPath("/RM735.so"), "RM735");
	EXPECT_EQ(modelNameFromPath(""), "");
}

TEST(ModelName, MatchesTheZeroPaddedProductId)
{
	const auto id = productId("RM735");
	EXPECT_TRUE(matchModelName(id.data(), "/lib/RM735.so"));
	EXPECT_TRUE(matchModelName(id.data(), "/lib/RM735_x64.so"));
	EXPECT_FALSE(matchModelName(id.data(), "/lib/RM735.beta.so"));
	EXPECT_FALSE(matchModelName(id.data(), "/lib/KT918.so"));
	EXPECT_FALSE(matchModelName(id.data(), "/lib/rm735.so")); // case counts
	EXPECT_FALSE(matchModelName(id.data(), "/lib/RM73.so"));
	EXPECT_FALSE(matchModelName(id.data(), "/lib/RM7350.so"));
}

TEST(ModelName, BlankPaddingDoesNotMatch)
{
	const auto id = productId("RM735", ' ');
	EXPECT_FALSE(matchModelName(id.data(), "/lib/RM735.so"));
}

TEST(ModelName, NeverLooksBeyondSixteenBytes)
{
	// A product id filling all 16 bytes, followed in memory by more text.
	const char memory[] = "ABCDEFGHIJKLMNOPQRS";
	const auto *id = reinterpret_cast<const uint8_t *>(memory);
	EXPECT_TRUE(matchModelName(id, "/lib/ABCDEFGHIJKLMNOP.so"));
	EXPECT_FALSE(matchModelName(id, "/lib/ABCDEFGHIJKLMNOPQ.so"));
	EXPECT_FALSE(matchModelName(id, "/lib/ABCDEFGHIJKLMNOPQRS.so"));
}

TEST(ModelName, AnEmptyNameMatchesNothing)
{
	const auto id = productId("");
	EXPECT_FALSE(matchModelName(id.data(), "/lib/.so"));
	EXPECT_FALSE(matchModelName(id.data(), "/lib/_x.so"));
}

} // namespace
