// SPDX-License-Identifier: MIT
// The words and exit codes of the driver's error codes.

#include <gtest/gtest.h>

#include <torvane/torvane.h>

#include "error_messages.h"

namespace torvane::scan {
namespace {

// Every code the driver can produce: the whole table of torvane.h.
#define TORVANE_TEST_CODE(name, value) name,
constexpr int32_t kDriverCodes[] = { TORVANE_ERROR_NONE, TORVANE_ERROR_CODES(TORVANE_TEST_CODE) };
#undef TORVANE_TEST_CODE

TEST(DriverErrors, EveryCodeHasWordsAndAClass)
{
	for (int32_t code : kDriverCodes) {
		const DriverErrorText *row = findDriverError(code);
		ASSERT_NE(row, nullptr) << code;
		EXPECT_GT(std::string(row->text).size(), 20u) << code;
		const std::string text = describeDriverError(code);
		EXPECT_EQ(text, std::string(row->text) + " (driver error " + std::to_string(code) + ")");
	}
}

TEST(DriverErrors, TheWordsUsersSee)
{
	EXPECT_EQ(describeDriverError(129),
		  "no supported scanner found (or the scanner is not the model of the driver library) (driver error 129)");
	EXPECT_EQ(describeDriverError(162),
		  "scanner busy: another program is scanning or holds the scanner; try again when it has finished "
		  "(driver error 162)");
	EXPECT_EQ(describeDriverError(2007), "lamp failure: the scanner's lamp did not light (driver error 2007)");
	EXPECT_EQ(describeDriverError(2009),
		  "scanner not ready: it is warming up, or a cover is open; wait a moment and try again (driver error 2009)");
	EXPECT_EQ(describeDriverError(159), "the scan was cancelled (driver error 159)");
	EXPECT_EQ(describeDriverError(157), "no image data arrived from the scanner (driver error 157)");
	// Sense data of another format: the response code itself.
	EXPECT_EQ(describeDriverError(113), "the scanner reported an error of an earlier command (deferred error) (driver error 113)");
	EXPECT_EQ(describeDriverError(114), "the scanner sent error information of an unknown format (driver error 114)");
	EXPECT_EQ(describeDriverError(4242), "the driver reported an unknown error (driver error 4242)");
	EXPECT_EQ(describeDriverError(-1), "the driver reported an unknown error (driver error -1)");
}

TEST(DriverErrors, ExitClasses)
{
	EXPECT_EQ(exitCodeForDriverError(129), ExitCode::NoScanner);
	EXPECT_EQ(exitCodeForDriverError(159), ExitCode::Cancelled);
	for (int32_t code : { 0, 152, 155, 157, 162, 174, 2004, 2005, 2007, 2009, 2010, 2999, 3001, 64003, 4242 })
		EXPECT_EQ(exitCodeForDriverError(code), ExitCode::Device) << code;
	EXPECT_EQ(toInt(ExitCode::Cancelled), 130);
	EXPECT_EQ(toInt(ExitCode::File), 4);
}

} // namespace
} // namespace torvane::scan
