// SPDX-License-Identifier: MIT
// SetScanParameter, SetGammaTable and the calibration dump against a
// simulated scanner.

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ability/inquiry.h"
#include "driver/device_lock.h"
#include "driver/driver_state.h"
#include "setup/raw_data_dump.h"
#include "setup/scan_settings.h"
#include "setup/setup_clock.h"
#include "setup/window_block.h"
#include "support/scanner_fixture.h"
#include "torvane/torvane.h"
#include "transport/commands.h"

using namespace torvane;
using sim::FaultRule;

namespace {

using Bytes = std::vector<uint8_t>;

platform::LocalTime fixedTime()
{
	return platform::LocalTime{ 2024, 3, 9, 10, 5, 7 };
}

ScanParameter colourAt150()
{
	ScanParameter p{};
	p.Top = 30;
	p.Width = 2550;
	p.Length = 3300;
	p.PixelNum = 1275;
	p.LineNum = 1650;
	p.ScanMode = 4;
	p.BitPerPixel = 24;
	p.XRes = 150;
	p.YRes = 150;
	p.RExposure = p.GExposure = p.BExposure = 500;
	return p;
}

class SetupDeviceTest : public test::ScannerTest
{
protected:
	void SetUp() override
	{
		test::ScannerTest::SetUp();
		driver::setLockWaitMs(200);
		driver::setScanBusy(0);
		setup::setLocalTimeSource(fixedTime);
		// A known width: 2550 pixels at 300 dpi.
		scanner->editInquiry([](sim::InquiryData &d) { d[81] = 0x09; d[82] = 0xF6; });
	}
	void TearDown() override
	{
		setup::setLocalTimeSource(nullptr);
		driver::setScanBusy(0);
		test::ScannerTest::TearDown();
	}
	std::vector<uint8_t> operationCodes() const
	{
		std::vector<uint8_t> codes;
		for (const auto &command : commands())
			codes.push_back(command.operationCode());
		return codes;
	}
	const sim::CommandRecord *find(uint8_t operationCode, uint8_t dataType = 0) const
	{
		for (const auto &command : log_) {
			if (command.operationCode() == operationCode &&
			    (operationCode != transport::kOpRead10 || command.dataType() == dataType))
				return &command;
		}
		return nullptr;
	}
	void snapshot() { log_ = commands(); }

	std::vector<sim::CommandRecord> log_;
};

TEST_F(SetupDeviceTest, ColourAt150DpiSendsTheWindowAndReadsItBack)
{
	const ScanParameter p = colourAt150();
	ASSERT_EQ(SetScanParameter(&p), 1);
	EXPECT_EQ(driver::scanBusy(), 1);
	// Its own ability call (INQUIRY, NVM read), SET WINDOW, read-back.
	EXPECT_EQ(operationCodes(), (std::vector<uint8_t>{ 0x12, 0x28, 0x24, 0x28 }));
	snapshot();

	const sim::CommandRecord *window = find(transport::kOpSetWindow);
	ASSERT_NE(window, nullptr);
	EXPECT_EQ(Bytes(window->block.begin(), window->block.end()), (Bytes{ 0x24, 0, 0, 0, 0, 0, 0, 0, 0x4F, 0 }));
	const setup::WindowBlock expected = setup::windowParameterBlock(setup::scanSettings.workParam);
	EXPECT_EQ(window->dataOut, Bytes(expected.begin(), expected.end()));

	const sim::CommandRecord *readBack = find(transport::kOpRead10, transport::kReadWindow);
	ASSERT_NE(readBack, nullptr);
	EXPECT_EQ(Bytes(readBack->block.begin(), readBack->block.end()),
		  (Bytes{ 0x28, 0, 0x60, 0, 0x0A, 0x0D, 0, 0, 0x20, 0 }));

	// What the scanner understood.
	const auto settings = scanner->window();
	ASSERT_TRUE(settings.has_value());
	EXPECT_EQ(settings->xResolution, 300);
	EXPECT_EQ(settings->yResolution, 300);
	EXPECT_EQ(settings->upperLeftY, 120u);
	EXPECT_EQ(settings->composition, 5);
	EXPECT_EQ(settings->bitsPerChannel, 8);
	EXPECT_EQ(settings->bytesPerLine, 7650u);
	EXPECT_EQ(settings->lineCount, 3312u);
	EXPECT_EQ(settings->modeFlags, 0x60);
	EXPECT_EQ(scanner->rawImage().size(), 7650u * 3312u);

	EXPECT_EQ(driver::driverState.scannerWidth, 2550u);
	EXPECT_EQ(setup::scanSettings.userRequest.XRes, 150);
	EXPECT_EQ(setup::scanSettings.userRequest.zoomToBase, 2.0);
}

TEST_F(SetupDeviceTest, ASecondCallInsideTheCycleIsRefused)
{
	ScanParameter first = colourAt150();
	ASSERT_EQ(SetScanParameter(&first), 1);
	const ScanParameter kept = setup::scanSettings.workParam;
	clearCommands();

	ScanParameter second = colourAt150();
	second.XRes = 600;
	second.ScanMode = 0;
	second.BitPerPixel = 1;
	EXPECT_EQ(SetScanParameter(&second), 0);
	EXPECT_EQ(driver::lastError(), 162);
	EXPECT_TRUE(commands().empty());
	EXPECT_EQ(std::memcmp(&setup::scanSettings.workParam, &kept, sizeof(kept)), 0);
	EXPECT_EQ(setup::scanSettings.userRequest.XRes, 150);
	EXPECT_EQ(setup::scanSettings.lineArtFromGrey, 0);
	EXPECT_EQ(driver::scanBusy(), 1);
}

TEST_F(SetupDeviceTest, SetWindowFailure)
{
	scanner->addFault(FaultRule::checkCondition(transport::kOpSetWindow, 0x05, 0x26, 0x00));
	const ScanParameter p = colourAt150();
	EXPECT_EQ(SetScanParameter(&p), 0);
	EXPECT_EQ(driver::lastError(), 2004);
	// No read-back after the failed window; the cycle stays open.
	EXPECT_EQ(operationCodes(), (std::vector<uint8_t>{ 0x12, 0x28, 0x24, 0x03 }));
	EXPECT_EQ(driver::scanBusy(), 1);
	EXPECT_EQ(setup::scanSettings.workParam.LineNum, 3312);
	// The lock was released: a locked call gets past the lock (and meets the
	// busy flag instead of a time-out).
	driver::setScanBusy(0);
	ScannerAbility ability{};
	EXPECT_EQ(GetScannerAbility(&ability), 1);
}

TEST_F(SetupDeviceTest, ReadBackFailure)
{
	FaultRule fault = FaultRule::statusByte(transport::kOpRead10, 8);
	fault.forDataType(transport::kReadWindow);
	scanner->addFault(fault);
	const ScanParameter p = colourAt150();
	EXPECT_EQ(SetScanParameter(&p), 0);
	EXPECT_EQ(driver::lastError(), 2004);
	EXPECT_EQ(driver::scanBusy(), 1);
}

TEST_F(SetupDeviceTest, AnUnpluggedScannerGives156NotAHardwareFault)
{
	const ScanParameter p = colourAt150();
	ASSERT_EQ(SetScanParameter(&p), 1);
	driver::setScanBusy(0); // as StopScan would
	server->unplug(0);
	EXPECT_EQ(SetScanParameter(&p), 0);
	EXPECT_EQ(driver::lastError(), TORVANE_ERROR_DISCONNECTED); // the 2004 of the window, too
	EXPECT_EQ(driver::scanBusy(), 1);
	// Its own ability call failed: the width of the earlier one is kept.
	EXPECT_EQ(driver::driverState.scannerWidth, 2550u);
}

TEST_F(SetupDeviceTest, ZeroResolutionIsRefusedBeforeTheCycleOpens)
{
	ScanParameter p = colourAt150();
	p.XRes = 0;
	EXPECT_EQ(SetScanParameter(&p), 0);
	EXPECT_EQ(driver::lastError(), 2004);
	EXPECT_EQ(driver::scanBusy(), 0);
	EXPECT_EQ(operationCodes(), (std::vector<uint8_t>{ 0x12, 0x28 }));
	EXPECT_EQ(setup::scanSettings.workParam.XRes, 0);
	EXPECT_EQ(setup::scanSettings.greyFromColour, 0);

	EXPECT_EQ(SetScanParameter(nullptr), 0);
	EXPECT_EQ(driver::lastError(), 2004);
	EXPECT_EQ(driver::scanBusy(), 0);

	// The lock was given back.
	p.XRes = 300;
	EXPECT_EQ(SetScanParameter(&p), 1);
}

TEST_F(SetupDeviceTest, LineArtRequestIsScannedAsGreyThroughChannelOne)
{
	ScanParameter p = colourAt150();
	p.ScanMode = 0;
	p.BitPerPixel = 1;
	p.ColorFilter = 0;
	p.XRes = 200;
	p.LineNum = 1000;
	p.Left = 100;
	ASSERT_EQ(SetScanParameter(&p), 1);
	const auto settings = scanner->window();
	ASSERT_TRUE(settings.has_value());
	EXPECT_EQ(settings->composition, 2);
	EXPECT_EQ(settings->bitsPerChannel, 8);
	EXPECT_EQ(settings->channelCode(), 1);
	EXPECT_EQ(settings->lineCount, 1512u);
	EXPECT_EQ(settings->upperLeftX, 0u);
	EXPECT_EQ(settings->xResolution, 300);
	EXPECT_EQ(setup::scanSettings.userRequest.Left, 100);
	EXPECT_EQ(setup::scanSettings.lineArtFromGrey, 1);
}

TEST_F(SetupDeviceTest, MainAndParameterLogs)
{
	enableLogging(2);
	const ScanParameter p = colourAt150();
	ASSERT_EQ(SetScanParameter(&p), 1);
	EXPECT_EQ(test::readFile(logs.file("quorDll.txt")),
		  "\r\nIn   0 : SetScanParameter :"
		  "\r\nIn   0 : GetScannerAbilityEx :\r\nIn   0 : Inquiry :\r\nOut  1 : Inquiry : "
		  "\r\nOut  1 : GetScannerAbilityEx :"
		  "\r\nOut  1 : SetScanParameter :");
	const std::string params = test::readFile(logs.file("quorParam.txt"));
	EXPECT_TRUE(params.starts_with("\r\nScanner width 2550\r\n======Parameter Debug Output Start========10:5:7"
				       "\r\nAP.ScanParameter.Left = 0\r\nAP.ScanParameter.Top = 30\r\n"));
	EXPECT_TRUE(params.ends_with("\r\nAP.ScanParameter.UltraSonicIntension = 0"
				     "\r\n======Parameter Debug Output End==========\r\n"));

	// A refused call writes no parameter log.
	EXPECT_EQ(SetScanParameter(&p), 0);
	EXPECT_EQ(test::readFile(logs.file("quorParam.txt")), params);
}

class CalibrationDumpTest : public SetupDeviceTest
{
protected:
	std::string dumpFile(const char *name) { return logs.file(name); }
};

TEST_F(CalibrationDumpTest, LevelSixReadsNothing)
{
	enableLogging(6);
	const ScanParameter p = colourAt150();
	ASSERT_EQ(SetScanParameter(&p), 1);
	EXPECT_EQ(operationCodes(), (std::vector<uint8_t>{ 0x12, 0x28, 0x24, 0x28 }));
	EXPECT_FALSE(test::exists(dumpFile("2580_96_1_1057_Rawdata.raw")));
}

TEST_F(CalibrationDumpTest, LevelSevenAtBase300)
{
	enableLogging(7);
	const ScanParameter p = colourAt150();
	ASSERT_EQ(SetScanParameter(&p), 1);
	snapshot();
	const sim::CommandRecord *read = find(transport::kOpRead10, transport::kReadCalibration);
	ASSERT_NE(read, nullptr);
	EXPECT_EQ(Bytes(read->block.begin(), read->block.end()),
		  (Bytes{ 0x28, 0, 0x62, 0, 0x0A, 0x0D, 0x07, 0x8F, 0x00, 0 }));
	EXPECT_EQ(test::readBinaryFile(dumpFile("2580_96_1_1057_Rawdata.raw")),
		  sim::VirtualScanner::calibrationData(495360));
}

TEST_F(CalibrationDumpTest, LevelSevenAtBase600AppendsToAnExistingFile)
{
	enableLogging(7);
	{
		std::ofstream earlier(dumpFile("2580_192_1_1057_Rawdata.raw"), std::ios::binary);
		earlier << "earlier";
	}
	ScanParameter p = colourAt150();
	p.XRes = 301;
	ASSERT_EQ(SetScanParameter(&p), 1);
	snapshot();
	const sim::CommandRecord *read = find(transport::kOpRead10, transport::kReadCalibration);
	ASSERT_NE(read, nullptr);
	EXPECT_EQ(read->dataInLength, 990720u);

	// Two calls within the same second append to the same file.
	driver::setScanBusy(0);
	ASSERT_EQ(SetScanParameter(&p), 1);
	const Bytes file = test::readBinaryFile(dumpFile("2580_192_1_1057_Rawdata.raw"));
	ASSERT_EQ(file.size(), 7 + 2 * 990720u);
	EXPECT_EQ(std::string(file.begin(), file.begin() + 7), "earlier");
	const Bytes calibration = sim::VirtualScanner::calibrationData(990720);
	EXPECT_TRUE(std::equal(calibration.begin(), calibration.end(), file.begin() + 7));
	EXPECT_TRUE(std::equal(calibration.begin(), calibration.end(), file.begin() + 7 + 990720));
}

TEST_F(CalibrationDumpTest, AFailedReadWritesZerosAndTheCallSucceeds)
{
	enableLogging(7);
	FaultRule fault = FaultRule::failDataPhase(transport::kOpRead10);
	fault.forDataType(transport::kReadCalibration);
	scanner->addFault(fault);
	const ScanParameter p = colourAt150();
	EXPECT_EQ(SetScanParameter(&p), 1);
	const Bytes file = test::readBinaryFile(dumpFile("2580_96_1_1057_Rawdata.raw"));
	ASSERT_EQ(file.size(), 495360u);
	EXPECT_EQ(std::count(file.begin(), file.end(), 0), 495360);
}

TEST_F(CalibrationDumpTest, NoFileAndNoDataFailsTheCall)
{
	enableLogging(7);
	std::strcat(driver::driverState.SavePath, "missing/");
	FaultRule fault = FaultRule::checkCondition(transport::kOpRead10, 0x04, 0, 0);
	fault.forDataType(transport::kReadCalibration);
	scanner->addFault(fault);
	const ScanParameter p = colourAt150();
	EXPECT_EQ(SetScanParameter(&p), 0);
	EXPECT_EQ(driver::lastError(), 2004);
	EXPECT_EQ(driver::scanBusy(), 1);
}

class GammaDeviceTest : public SetupDeviceTest
{
protected:
	uint8_t table[256];
	void SetUp() override
	{
		SetupDeviceTest::SetUp();
		for (int i = 0; i < 256; ++i)
			table[i] = static_cast<uint8_t>(i);
	}
	Bytes deviceTable() const
	{
		Bytes bytes(512, 0);
		for (int i = 0; i < 256; ++i)
			bytes[2 * i + 1] = table[i];
		return bytes;
	}
};

TEST_F(GammaDeviceTest, ChannelsAndQualifiers)
{
	const std::pair<uint8_t, uint8_t> channels[] = { { 0, 0 }, { 1, 0 }, { 2, 1 }, { 3, 2 } };
	for (auto [channel, qualifier] : channels) {
		clearCommands();
		ASSERT_EQ(SetGammaTable(table, channel), 1);
		const auto log = commands();
		ASSERT_EQ(log.size(), 1u);
		EXPECT_EQ(Bytes(log[0].block.begin(), log[0].block.end()),
			  (Bytes{ 0x2A, 0, 0x81, 0, 0, qualifier, 0x00, 0x02, 0x00, 0 }));
		EXPECT_EQ(log[0].dataOut, deviceTable());
		const auto stored = scanner->gammaTable(qualifier);
		ASSERT_TRUE(stored.has_value());
		EXPECT_EQ(Bytes(stored->begin(), stored->end()), deviceTable());
	}
}

TEST_F(GammaDeviceTest, ChannelFourSendsNothingButIsLogged)
{
	enableLogging(2);
	driver::setLastError(0);
	EXPECT_EQ(SetGammaTable(table, 4), 0);
	EXPECT_EQ(driver::lastError(), 2999);
	EXPECT_TRUE(commands().empty());
	const std::string gammaLog = test::readFile(logs.file("quorGammatable.txt"));
	EXPECT_TRUE(gammaLog.ends_with("\r\nAP.GammaTable 511 ===> 255\r\n======Parameter Debug Output End==========\r\n"));
	EXPECT_EQ(std::count(gammaLog.begin(), gammaLog.end(), '\n'), 514);
	EXPECT_EQ(test::readFile(logs.file("quorDll.txt")), "\r\nIn   0 : SetGammaTable :\r\nOut  0 : SetGammaTable :");
}

TEST_F(GammaDeviceTest, AFailedSendGives2999)
{
	scanner->addFault(FaultRule::checkCondition(transport::kOpSend10, 0x05, 0x26, 0x00));
	EXPECT_EQ(SetGammaTable(table, 2), 0);
	EXPECT_EQ(driver::lastError(), 2999); // not the sense code 2005
}

TEST_F(GammaDeviceTest, WorksInsideAScanCycle)
{
	const ScanParameter p = colourAt150();
	ASSERT_EQ(SetScanParameter(&p), 1);
	clearCommands();
	EXPECT_EQ(SetGammaTable(table, 3), 1);
	EXPECT_EQ(commands().size(), 1u);
	EXPECT_EQ(driver::scanBusy(), 1);
}

TEST_F(GammaDeviceTest, MissingTable)
{
	EXPECT_EQ(SetGammaTable(nullptr, 0), 0);
	EXPECT_EQ(driver::lastError(), 2999);
	EXPECT_TRUE(commands().empty());
}

} // namespace
