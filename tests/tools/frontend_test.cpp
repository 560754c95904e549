// SPDX-License-Identifier: MIT
// The front end's calls, as the scanner sees them: torvane-scan's Frontend
// over the driver library loaded with dlopen, against an in-process simulated
// scanner whose command log shows every command byte for byte.

#include <algorithm>
#include <filesystem>

#include <chrono>
#include <cstdio>
#include <thread>

#include <gtest/gtest.h>

#include "driver_library.h"
#include "frontend.h"
#include "image_reader.h"
#include "platform/platform.h"
#include "support/scanner_fixture.h"

namespace torvane::scan {
namespace {

class FrontendTest : public torvane::test::ScannerTest
{
protected:
	void SetUp() override
	{
		ScannerTest::SetUp();
		std::string error;
		library = DriverLibrary::load({ torvane::test::libraryDir() + "/RM735.so" }, &error);
		ASSERT_TRUE(library) << error;
	}

	Options scanOptions(ColourMode mode, unsigned dpi)
	{
		Options options;
		options.output = output.file("page.pnm");
		options.format = OutputFormat::Pnm;
		options.mode = mode;
		options.resolution = dpi;
		options.quiet = true;
		options.width = Length{ 1, LengthUnit::Inch };
		options.length = Length{ 0.5, LengthUnit::Inch };
		return options;
	}

	// Runs the front end; its messages land in `messages`.
	ExitCode runFrontend(const Options &options)
	{
		::testing::internal::CaptureStderr();
		Frontend frontend(*library, options, false);
		const ExitCode code = frontend.run();
		messages = ::testing::internal::GetCapturedStderr();
		return code;
	}

	// The commands other than image data reads: (operation code, data type).
	std::vector<std::pair<int, int>> controlCommands() const
	{
		std::vector<std::pair<int, int>> list;
		for (const auto &command : commands())
			if (!(command.operationCode() == 0x28 && command.dataType() == 0x00))
				list.emplace_back(command.operationCode(),
						  command.operationCode() == 0x28 || command.operationCode() == 0x2A ? command.dataType() : -1);
		return list;
	}

	std::vector<sim::CommandRecord> commandsOf(uint8_t operationCode) const
	{
		std::vector<sim::CommandRecord> list;
		for (const auto &command : commands())
			if (command.operationCode() == operationCode)
				list.push_back(command);
		return list;
	}

	torvane::test::TempDir output;
	std::unique_ptr<DriverLibrary> library;
	std::string messages;
};

TEST_F(FrontendTest, AColourScanInTheFrontEndCallOrder)
{
	Options options = scanOptions(ColourMode::Colour, 150);
	options.gamma = 2.2;
	ASSERT_EQ(runFrontend(options), ExitCode::Ok) << messages;

	const std::vector<std::pair<int, int>> expected = {
		{ 0x12, -1 }, { 0x28, 0x69 }, // GetScannerAbility: INQUIRY, NVM read
		{ 0x12, -1 },
		{ 0x28, 0x69 }, // GetScannerAbilityEx
		{ 0x12, -1 },	// InitializeScanner
		{ 0x2A, 0x81 },
		{ 0x2A, 0x81 },
		{ 0x2A, 0x81 }, // SetGammaTable, channels 1, 2, 3
		{ 0x12, -1 },
		{ 0x28, 0x69 }, // SetScanParameter: its own abilities,
		{ 0x24, -1 },
		{ 0x28, 0x60 }, // SET WINDOW and the read-back
		{ 0x16, -1 },
		{ 0x1B, -1 }, // StartScan: RESERVE UNIT, SCAN
		{ 0x17, -1 }, // StopScan: RELEASE UNIT
	};
	EXPECT_EQ(controlCommands(), expected);

	// One gamma table per colour channel: qualifiers 0, 1, 2, with the
	// curve of gamma 2.2 as 16-bit big-endian entries.
	const auto gamma = commandsOf(0x2A);
	ASSERT_EQ(gamma.size(), 3u);
	for (unsigned i = 0; i < 3; ++i) {
		EXPECT_EQ(gamma[i].block[5], i);
		ASSERT_EQ(gamma[i].dataOut.size(), 512u);
		EXPECT_EQ(gamma[i].dataOut[2 * 64 + 1], 136);
		EXPECT_EQ(gamma[i].dataOut[2 * 128 + 1], 186);
		EXPECT_EQ(gamma[i].dataOut[2 * 128], 0);
	}

	// The window: base 300 dpi, 1 x 0.5 inch from the corner in 1/1200 inch
	// (the driver adds its line allowance to the length), colour.
	const auto window = scanner->window();
	ASSERT_TRUE(window);
	EXPECT_EQ(window->xResolution, 300);
	EXPECT_EQ(window->upperLeftX, 0u);
	EXPECT_EQ(window->upperLeftY, 0u);
	EXPECT_EQ(window->width, 1200u);
	EXPECT_EQ(window->composition, 5);
	EXPECT_EQ(window->pagesThisJob, 1);
	EXPECT_EQ(scanner->lastReleaseMode(), 0);

	const auto image = test::readPnm(options.output);
	ASSERT_TRUE(image.ok) << image.error;
	EXPECT_EQ(image.pnmMagic, "P6");
	EXPECT_EQ(image.width, 150u);
	EXPECT_EQ(image.height, 75u);
}

TEST_F(FrontendTest, LineArtSendsOneGreyCurve)
{
	Options options = scanOptions(ColourMode::LineArt, 300);
	ASSERT_EQ(runFrontend(options), ExitCode::Ok) << messages;
	const auto gamma = commandsOf(0x2A);
	ASSERT_EQ(gamma.size(), 1u); // channel 0
	EXPECT_EQ(gamma[0].block[5], 0);
	EXPECT_EQ(gamma[0].dataOut[2 * 200 + 1], 200); // identity
	const auto window = scanner->window();
	ASSERT_TRUE(window);
	EXPECT_EQ(window->composition, 2); // the driver scans line art as grey
	EXPECT_EQ(window->channelCode(), 1);
	const auto image = test::readPnm(options.output);
	ASSERT_TRUE(image.ok) << image.error;
	EXPECT_EQ(image.pnmMagic, "P4");
	EXPECT_EQ(image.width, 300u); // every pixel asked for
}

TEST_F(FrontendTest, AFailedSetUpIsClosedWithStopScan)
{
	// The scanner refuses the window: SetScanParameter fails after it has
	// opened the scan cycle, and only StopScan closes it again.
	scanner->addFault(sim::FaultRule::checkCondition(0x24, 0x05, 0x26, 0x02));
	EXPECT_EQ(runFrontend(scanOptions(ColourMode::Grey, 300)), ExitCode::Device);
	EXPECT_EQ(messages, "torvane-scan: the scan could not be set up: the scanner reported a hardware fault or could "
			    "not be set up for the scan (driver error 2004)\n");
	EXPECT_EQ(commandsOf(0x17).size(), 1u); // RELEASE UNIT from StopScan
	EXPECT_EQ(*platform::scanBusyFlag(), 0);
	EXPECT_FALSE(std::filesystem::exists(output.file("page.pnm")));

	clearCommands();
	EXPECT_EQ(runFrontend(scanOptions(ColourMode::Grey, 300)), ExitCode::Ok) << messages;
}

TEST_F(FrontendTest, AFailedImageReadLeavesNoFileAndNoBusyScanner)
{
	scanner->addFault(sim::FaultRule::failDataPhase(0x28).forDataType(0x00).always());
	EXPECT_EQ(runFrontend(scanOptions(ColourMode::Colour, 300)), ExitCode::Device);
	EXPECT_EQ(messages, "torvane-scan: the image could not be read: no image data arrived from the scanner (driver "
			    "error 157)\n");
	EXPECT_EQ(*platform::scanBusyFlag(), 0);
	EXPECT_EQ(commandsOf(0x17).size(), 1u);
	// Nothing in the output folder: no image, no part of one.
	EXPECT_EQ(std::distance(std::filesystem::directory_iterator(output.path()), std::filesystem::directory_iterator()), 0);

	scanner->clearFaults();
	EXPECT_EQ(runFrontend(scanOptions(ColourMode::Colour, 300)), ExitCode::Ok) << messages;
}

TEST_F(FrontendTest, SenseDataInWords)
{
	// NOT READY on the identification: the abilities cannot be read.
	scanner->addFault(sim::FaultRule::checkCondition(0x12, 0x02, 0x00, 0x00));
	EXPECT_EQ(runFrontend(scanOptions(ColourMode::Colour, 300)), ExitCode::Device);
	EXPECT_EQ(messages, "torvane-scan: the scanner's abilities could not be read: scanner not ready: it is warming "
			    "up, or a cover is open; wait a moment and try again (driver error 2009)\n");

	// Lamp failure, while reading the NVM record.
	scanner->addFault(sim::FaultRule::checkCondition(0x28, 0x04, 0x60, 0x00).forDataType(0x69));
	Options options;
	options.action = Action::NvmRead;
	EXPECT_EQ(runFrontend(options), ExitCode::Device);
	EXPECT_EQ(messages, "torvane-scan: the non-volatile memory could not be read: lamp failure: the scanner's lamp "
			    "did not light (driver error 2007)\n");
}

TEST_F(FrontendTest, AScanElsewhereMakesTheScannerBusy)
{
	// Another program's scan holds the machine-wide busy flag.
	*platform::scanBusyFlag() = 1;
	Options options = scanOptions(ColourMode::Colour, 300);
	options.busyWaitSeconds = 0;
	EXPECT_EQ(runFrontend(options), ExitCode::Device);
	EXPECT_EQ(messages, "torvane-scan: the scanner could not be searched for: scanner busy: another program is "
			    "scanning or holds the scanner; try again when it has finished (driver error 162)\n");
	// Not ours to clear.
	EXPECT_EQ(*platform::scanBusyFlag(), 1);
	EXPECT_EQ(commandsOf(0x17).size(), 0u);

	// Waited for: the scan runs once the other one has ended.
	options.busyWaitSeconds = 10;
	options.quiet = false;
	std::thread otherScanEnds([] {
		std::this_thread::sleep_for(std::chrono::milliseconds(600));
		*platform::scanBusyFlag() = 0;
	});
	EXPECT_EQ(runFrontend(options), ExitCode::Ok) << messages;
	otherScanEnds.join();
	EXPECT_EQ(messages.rfind("torvane-scan: the scanner is busy with another program's scan; waiting up to 10 s "
				 "(--wait to change, Ctrl-C to stop)\ntorvane-scan: wrote ",
				 0),
		  0u)
		<< messages;
}

TEST_F(FrontendTest, NvmBackupAndRestoreRoundTrip)
{
	Options options;
	options.quiet = true;
	options.action = Action::NvmBackup;
	options.nvmFile = output.file("nvm.bin");
	ASSERT_EQ(runFrontend(options), ExitCode::Ok) << messages;
	const sim::NvmData before = scanner->nvm();

	sim::NvmData changed = before;
	changed[0x2E] ^= 0xFF;
	scanner->setNvm(changed);
	options.action = Action::NvmRestore;
	ASSERT_EQ(runFrontend(options), ExitCode::Ok) << messages;
	EXPECT_EQ(scanner->nvm(), before);
	EXPECT_EQ(scanner->lastNvmQualifier(), 0x14);
}

TEST_F(FrontendTest, PowerTimersAndButtons)
{
	Options options;
	options.quiet = true;
	options.action = Action::PowerTimers;
	options.powerSave = 15;
	options.powerOff = 65535;
	ASSERT_EQ(runFrontend(options), ExitCode::Ok) << messages;
	EXPECT_EQ(scanner->powerSaveTime(), 15);
	EXPECT_EQ(scanner->powerOffTime(), 65535);

	const uint8_t press[] = { 0x06 };
	scanner->pressButton(press);
	options.action = Action::WaitButton;
	options.buttonTimeout = 10;
	::testing::internal::CaptureStdout();
	EXPECT_EQ(runFrontend(options), ExitCode::Ok) << messages;
	EXPECT_EQ(::testing::internal::GetCapturedStdout(), "button 3\n");
}

// An unplug while torvane-scan waits for a press ends the wait with the
// words for it, not with "no button was pressed in time" after the limit.
TEST_F(FrontendTest, AnUnplugDuringTheButtonWaitIsReported)
{
	Options options;
	options.quiet = true;
	options.action = Action::WaitButton;
	options.buttonTimeout = 30;
	std::chrono::steady_clock::time_point unplugged;
	std::thread unplug([&] {
		std::this_thread::sleep_for(std::chrono::milliseconds(500));
		unplugged = std::chrono::steady_clock::now();
		server->unplug(0);
	});
	EXPECT_EQ(runFrontend(options), ExitCode::Device);
	const auto ended = std::chrono::steady_clock::now();
	unplug.join();
	const double seconds = std::chrono::duration<double>(ended - unplugged).count();
	std::printf("| unplug during --wait-button | ended %.3f s after the unplug |\n", seconds);
	EXPECT_EQ(messages, "torvane-scan: the scanner's buttons could not be read: the scanner was disconnected "
			    "(driver error 156)\n");
	EXPECT_LT(seconds, 10.0);
}

} // namespace
} // namespace torvane::scan
