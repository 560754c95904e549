// SPDX-License-Identifier: MIT
// The push-button records and the timer payload without a scanner.

#include <array>
#include <cstring>

#include <gtest/gtest.h>

#include "ability/inquiry.h"
#include "panel/button_report.h"
#include "panel/power_timers.h"

using namespace torvane;
using namespace torvane::panel;

namespace {

using Report = std::array<uint8_t, 8>;

Report rewritten(Report report)
{
	rewriteButtonReport(report.data());
	return report;
}

std::array<uint8_t, 24> bytesOf(const ButtonSetup &setup)
{
	std::array<uint8_t, 24> bytes;
	std::memcpy(bytes.data(), &setup, bytes.size());
	return bytes;
}

TEST(ButtonSetupRecord, FromInquiry)
{
	uint8_t inquiry[ability::kInquirySize] = {};
	inquiry[92] = 2;
	// Every flag but bit 6: no push buttons, and the count is not reported.
	inquiry[50] = 0xBF;
	EXPECT_EQ(bytesOf(buttonSetupFrom(inquiry)), (std::array<uint8_t, 24>{}));

	inquiry[50] = 0x40;
	std::array<uint8_t, 24> expected{};
	expected[0] = 3;
	expected[4] = 2;
	expected[6] = 4;
	EXPECT_EQ(bytesOf(buttonSetupFrom(inquiry)), expected);

	inquiry[92] = 0;
	expected[4] = 0;
	EXPECT_EQ(bytesOf(buttonSetupFrom(inquiry)), expected);
}

TEST(ButtonReportRewrite, KnownCodesGiveTheButtonNumber)
{
	EXPECT_EQ(rewritten({ 0x05, 0, 0, 0, 0, 0, 0, 0 }), (Report{ 0x81, 0x02, 0, 0, 0, 0, 0x01, 0 }));
	EXPECT_EQ(rewritten({ 0x03, 0, 0, 0, 0, 0, 0, 0 }), (Report{ 0x81, 0x01, 0, 0, 0, 0, 0x01, 0 }));
	EXPECT_EQ(rewritten({ 0x06, 0x09, 0, 0, 0, 0, 0, 0 }), (Report{ 0x81, 0x03, 0, 0, 0, 0, 0x01, 0 }));
	// Other delivered bytes stay as they came.
	EXPECT_EQ(rewritten({ 0x05, 0, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66 }),
		  (Report{ 0x81, 0x02, 0x11, 0x22, 0x33, 0x44, 0x01, 0x66 }));
}

TEST(ButtonReportRewrite, OtherCodesKeepByte1)
{
	EXPECT_EQ(rewritten({ 0x07, 0x04, 0, 0, 0, 0, 0, 0 }), (Report{ 0x81, 0x04, 0, 0, 0, 0, 0x01, 0 }));
	EXPECT_EQ(rewritten({ 0x07, 0x00, 0x11, 0, 0, 0, 0, 0 }), (Report{ 0x07, 0x00, 0x11, 0, 0, 0, 0, 0 }));
	EXPECT_EQ(rewritten({ 0x04, 0, 0, 0, 0, 0, 0, 0 }), (Report{ 0x04, 0, 0, 0, 0, 0, 0, 0 }));
	EXPECT_EQ(rewritten(Report{}), Report{});
}

TEST(TimerPayload, Low16BitsBigEndian)
{
	EXPECT_EQ(timerPayload(15), (TimerPayload{ 0x00, 0x0F }));
	EXPECT_EQ(timerPayload(0x1234), (TimerPayload{ 0x12, 0x34 }));
	EXPECT_EQ(timerPayload(65535), (TimerPayload{ 0xFF, 0xFF }));
	EXPECT_EQ(timerPayload(65536 + 0x0203), (TimerPayload{ 0x02, 0x03 }));
	EXPECT_EQ(timerPayload(-2), (TimerPayload{ 0xFF, 0xFE }));
	EXPECT_EQ(timerPayload(0), (TimerPayload{ 0x00, 0x00 }));
}

} // namespace
