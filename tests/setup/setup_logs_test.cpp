// SPDX-License-Identifier: MIT
// The parameter log, the gamma table and its log, the raw-data file names.

#include <algorithm>
#include <string>

#include <gtest/gtest.h>

#include "driver/driver_state.h"
#include "setup/gamma_table.h"
#include "setup/raw_data_dump.h"
#include "setup/scan_parameter.h"
#include "setup/scan_settings.h"
#include "setup/setup_clock.h"
#include "support/test_environment.h"

using namespace torvane;
using namespace torvane::setup;

namespace {

platform::LocalTime fixedTime()
{
	return platform::LocalTime{ 2024, 3, 9, 10, 5, 7 };
}

class SetupLogTest : public ::testing::Test
{
protected:
	void SetUp() override
	{
		test::configureLogging(2, dir.path() + "/");
		test::attachDriver();
		setLocalTimeSource(fixedTime);
	}
	void TearDown() override { setLocalTimeSource(nullptr); }
	test::TempDir dir;
};

TEST_F(SetupLogTest, ParameterLogIsByteExact)
{
	ScanParameter p{};
	p.Left = 100;
	p.Top = 2;
	p.Width = 65535;
	p.Length = 4;
	p.PixelNum = 40000;
	p.LineNum = 6;
	p.ScanMode = 4;
	p.ScanMethod = 200;
	p.BitPerPixel = 24;
	p.ScanSpeed = 9;
	p.Contrast = -5;
	p.Brightness = -128;
	p.HTPatternNo = 3;
	p.Highlight = 250;
	p.Shadow = 10;
	p.ColorFilter = 2;
	p.Invert = 1;
	p.ReadStatus = 255;
	p.ExtScanParam = 0xAB4C;
	p.RExposure = 1000;
	p.GExposure = 1001;
	p.BExposure = 1002;
	p.XRes = 150;
	p.YRes = 151;
	p.RGain = 60000;
	p.GGain = 11;
	p.BGain = 12;
	p.lensPosition = -300;
	p.byBackgroundLines = 13;
	p.byPagesThisJob = 14;
	p.UltraSonicIntension = 15;
	p.EnableBatchScan = 1;
	p.wPaperLength = 5000;
	p.ExtIndex = 16;
	p.ExtSize = 17;
	logScanParameter(p, 2550);

	const std::string expected =
		"\r\nScanner width 2550"
		"\r\n======Parameter Debug Output Start========10:5:7"
		"\r\nAP.ScanParameter.Left = 100"
		"\r\nAP.ScanParameter.Top = 2"
		"\r\nAP.ScanParameter.Width = 65535"
		"\r\nAP.ScanParameter.Length = 4"
		"\r\nAP.ScanParameter.PixelNum = 40000"
		"\r\nAP.ScanParameter.LineNum = 6"
		"\r\nAP.ScanParameter.ScanMode = 4"
		"\r\nAP.ScanParameter.ScanMethod = 200"
		"\r\nAP.ScanParameter.BitPerPixel = 24"
		"\r\nAP.ScanParameter.ScanSpeed = 9"
		"\r\nAP.ScanParameter.Contrast = -5"
		"\r\nAP.ScanParameter.Brightness = -128"
		"\r\nAP.ScanParameter.HTPatternNo = 3"
		"\r\nAP.ScanParameter.Highlight = 250"
		"\r\nAP.ScanParameter.Shadow = 10"
		"\r\nAP.ScanParameter.ColorFilter = 2"
		"\r\nAP.ScanParameter.Invert = 1"
		"\r\nAP.ScanParameter.ReadStatus = 255"
		"\r\nAP.ScanParameter.ExtScanParam = 0xAB4C"
		"\r\nAP.ScanParameter.RExposure = 1000"
		"\r\nAP.ScanParameter.GExposure = 1001"
		"\r\nAP.ScanParameter.BExposure = 1002"
		"\r\nAP.ScanParameter.XRes = 150"
		"\r\nAP.ScanParameter.YRes = 151"
		"\r\nAP.ScanParameter.RGain = 60000"
		"\r\nAP.ScanParameter.GGain = 11"
		"\r\nAP.ScanParameter.BGain = 12"
		"\r\nAP.ScanParameter.lensPosition = -300"
		"\r\nAP.ScanParameter.byBackgroundLines = 13"
		"\r\nAP.ScanParameter.byPagesThisJob = 14"
		"\r\nAP.ScanParameter.EnableBatchScan = 1"
		"\r\nAP.ScanParameter.wPaperLength = 5000"
		"\r\nAP.ScanParameter.ExtIndex = 16"
		"\r\nAP.ScanParameter.ExtSize = 17"
		"\r\nAP.ScanParameter.MaxPaperScan = 14"
		"\r\nAP.ScanParameter.UltraSonicIntension = 15"
		"\r\n======Parameter Debug Output End=========="
		"\r\n";
	EXPECT_EQ(test::readFile(dir.file("quorParam.txt")), expected);
}

TEST_F(SetupLogTest, ParameterLogNeedsLevelTwo)
{
	test::configureLogging(1, dir.path() + "/");
	test::attachDriver();
	logScanParameter(ScanParameter{}, 2550);
	EXPECT_FALSE(test::exists(dir.file("quorParam.txt")));
}

TEST(GammaTable, DeviceTableWidensEachEntry)
{
	uint8_t identity[256];
	for (int i = 0; i < 256; ++i)
		identity[i] = static_cast<uint8_t>(i);
	const DeviceGammaTable device = buildDeviceGammaTable(identity);
	for (int i = 0; i < 256; ++i) {
		EXPECT_EQ(device[2 * i], 0);
		EXPECT_EQ(device[2 * i + 1], i);
	}
}

TEST(GammaTable, ChannelQualifiers)
{
	EXPECT_EQ(gammaQualifier(0), 0);
	EXPECT_EQ(gammaQualifier(1), 0);
	EXPECT_EQ(gammaQualifier(2), 1);
	EXPECT_EQ(gammaQualifier(3), 2);
	EXPECT_FALSE(gammaQualifier(4).has_value());
	EXPECT_FALSE(gammaQualifier(255).has_value());
}

TEST_F(SetupLogTest, GammaLogIsByteExact)
{
	uint8_t table[256];
	for (int i = 0; i < 256; ++i)
		table[i] = static_cast<uint8_t>(255 - i);
	logGammaTable(buildDeviceGammaTable(table));

	const std::string log = test::readFile(dir.file("quorGammatable.txt"));
	EXPECT_TRUE(log.starts_with("\r\nAP.GammaTable 0 ===> 0\r\nAP.GammaTable 1 ===> 255\r\nAP.GammaTable 2"));
	std::string expected;
	for (int i = 0; i < 512; ++i)
		expected += "\r\nAP.GammaTable " + std::to_string(i) + " ===> " +
			    std::to_string(i % 2 ? 255 - i / 2 : 0);
	expected += "\r\n======Parameter Debug Output End==========\r\n";
	EXPECT_EQ(log, expected);
}

TEST(RawDataDump, FileNamesAndSizes)
{
	const platform::LocalTime time{ 2024, 1, 2, 10, 5, 7 };
	EXPECT_EQ(rawDataFileName(300, time), "2580_96_1_1057_Rawdata.raw");
	EXPECT_EQ(rawDataFileName(301, time), "2580_192_1_1057_Rawdata.raw");
	EXPECT_EQ(rawDataFileName(600, platform::LocalTime{ 2024, 1, 2, 0, 0, 0 }), "2580_192_1_000_Rawdata.raw");
	EXPECT_EQ(rawDataFileName(600, platform::LocalTime{ 2024, 1, 2, 23, 59, 59 }), "2580_192_1_235959_Rawdata.raw");
	EXPECT_EQ(rawDataSize(300), 495360u);
	EXPECT_EQ(rawDataSize(600), 990720u);
}

} // namespace
