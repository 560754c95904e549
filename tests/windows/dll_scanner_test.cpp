// SPDX-License-Identifier: MIT
// The driver DLL against virtual scanners: the test driver's device calls
// answered by scanner models inside this program, everything else (exports,
// library entry, registry, log, event) as a front end meets it.

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <windows.h>

#include <gtest/gtest.h>

#include "support/driver_files.h"
#include "support/scan_request.h"
#include "support/sim_device_calls.h"
#include "support/torvane_test.h"
#include "support/win_test_support.h"
#include "torvane/torvane.h"
#include "torvane_sim/virtual_scanner.h"

using namespace torvane;
using namespace torvane::wintest;

// The export `name` of the loaded library, typed as torvane.h declares it.
#define EXPORT(name) exported<decltype(&::name)>(#name)

namespace {

// True when `whole` begins with the bytes of `part`.
bool startsWith(const std::vector<uint8_t> &whole, const std::vector<uint8_t> &part)
{
	return whole.size() >= part.size() && std::equal(part.begin(), part.end(), whole.begin());
}

class ScannerDll : public ::testing::Test
{
protected:
	void SetUp() override
	{
		removeConfigKey();
		scanner.setFullSpeed(true);
		devices.plug(0, scanner);
	}

	void TearDown() override
	{
		if (library && library->loaded())
			library->function<TorvaneTestSetDeviceCallsCall>("TorvaneTestSetDeviceCalls")(nullptr);
		library.reset();
		removeConfigKey();
	}

	// Loads the test driver under `name`, its device calls answered here.
	void load(const std::string &name = "RM735.dll")
	{
		library = std::make_unique<Library>(copyAs(testDriverDll(), dir, name));
		ASSERT_TRUE(library->loaded()) << name;
		library->function<TorvaneTestSetDeviceCallsCall>("TorvaneTestSetDeviceCalls")(installFakeDevices(&devices));
	}

	void logTo(DWORD level)
	{
		setConfigNumber("DEBUGLEVEL", level);
		setConfigText("SAVEPATH", dir.path());
	}

	std::string mainLog() { return readFile(dir.file("quorDll.txt")); }

	int32_t lastError()
	{
		TorvaneTestState state{};
		library->function<TorvaneTestGetStateCall>("TorvaneTestGetState")(&state);
		return state.lastError;
	}

	// The error code as a front end fetches it (and clears it).
	int32_t fetchError()
	{
		unsigned char status[3] = { 9, 9, 9 };
		int32_t code = -1;
		EXPECT_EQ(EXPORT(GetScannerStatusEx)(&status[0], &status[1], &status[2], &code), 1);
		return code;
	}

	template<typename Function>
	Function exported(const char *name)
	{
		auto function = library->function<Function>(name);
		EXPECT_NE(function, nullptr) << name;
		return function;
	}

	// Another scanner, living as long as the test.
	sim::VirtualScanner &another(sim::Model model)
	{
		others.push_back(std::make_unique<sim::VirtualScanner>(model));
		others.back()->setFullSpeed(true);
		return *others.back();
	}

	sim::VirtualScanner scanner{ sim::Model::RM735 };
	std::vector<std::unique_ptr<sim::VirtualScanner>> others;
	VirtualScannerSet devices;
	TempDir dir;
	std::unique_ptr<Library> library;
};

TEST_F(ScannerDll, DiscoveryTakesTheFirstSupportedScannerByNumber)
{
	sim::VirtualScanner &second = another(sim::Model::KT918);
	sim::VirtualScanner &foreign = another(sim::Model::RM735);
	foreign.setUsbIdentity({ 0x1234, 0x0735, 0x0100, 0x0409 });
	devices.unplug(0);
	devices.plug(1, foreign);
	devices.plug(2, scanner);
	devices.plug(5, second);
	logTo(5);
	load();
	EXPECT_EQ(library->call("InitializeDriver"), 1);
	EXPECT_EQ(mainLog(), "\r\nIn   0 : InitializeDriver :"
			     "\r\nIn   0 : SeizeSYSControl :"
			     "\r\nOut  1 : SeizeSYSControl :"
			     "\r\nIn   0 : FindScanner :"
			     "\r\nOut  1 : FindScanner :"
			     "\r\nFind New Device!"
			     "\r\nOut  1 : InitializeDriver :");
	// Every candidate was given all-zero time-outs; the one after the
	// scanner found was never opened.
	ASSERT_TRUE(foreign.timeouts().has_value());
	EXPECT_EQ(*foreign.timeouts(), (std::array<uint32_t, 3>{ 0, 0, 0 }));
	EXPECT_TRUE(scanner.timeouts().has_value());
	EXPECT_FALSE(second.timeouts().has_value());
	EXPECT_EQ(fakeDeviceLog().openHandles, 0u);
}

TEST_F(ScannerDll, AScannerUnpluggedAndBackUnderAnotherNumberIsFoundAgain)
{
	load();
	ASSERT_EQ(library->call("InitializeDriver"), 1);
	devices.unplug(0);
	EXPECT_EQ(library->call("InitializeDriver"), 0);
	EXPECT_EQ(lastError(), 129);
	devices.plug(3, scanner);
	EXPECT_EQ(library->call("InitializeDriver"), 1);
}

TEST_F(ScannerDll, TheModelCheckTakesTheModelFromTheLibraryFileName)
{
	struct Case {
		const char *file;
		int result;
		int32_t error;
	};
	for (const Case &check : { Case{ "RM735.dll", 1, 0 }, Case{ "RM735_x64.dll", 1, 0 }, Case{ "KT918.dll", 0, 129 },
				   Case{ "RM735.beta.dll", 0, 129 } }) {
		load(check.file);
		ASSERT_EQ(library->call("InitializeDriver"), 1);
		EXPECT_EQ(library->call("InitializeScanner"), check.result) << check.file;
		EXPECT_EQ(fetchError(), check.error) << check.file;
		EXPECT_EQ(fetchError(), 0);
		TearDown();
	}
	// The other model's scanner matches the other name.
	devices.plug(0, another(sim::Model::KT918));
	load("KT918.dll");
	ASSERT_EQ(library->call("InitializeDriver"), 1);
	EXPECT_EQ(library->call("InitializeScanner"), 1);
}

TEST_F(ScannerDll, AbilityRecordsComeThroughTheExports)
{
	load();
	ASSERT_EQ(library->call("InitializeDriver"), 1);
	ScannerAbility ability;
	std::memset(&ability, 0xEE, sizeof(ability));
	ASSERT_EQ(EXPORT(GetScannerAbility)(&ability), 1);
	EXPECT_STREQ(ability.ProductName, "RM735");
	ScannerAbilityEx extended;
	std::memset(&extended, 0xEE, sizeof(extended));
	ASSERT_EQ(EXPORT(GetScannerAbilityEx)(&extended), 1);
	EXPECT_EQ(std::string(extended.Product, 5), "RM735");
	EXPECT_EQ(extended.CapabilityF, 0xA00u);
	EXPECT_EQ(extended.ScanWidth, ability.ScanWidth);
}

TEST_F(ScannerDll, AnNvmRecordMakesTheRoundTripInWireOrder)
{
	load();
	ASSERT_EQ(library->call("InitializeDriver"), 1);
	NvmRecord record{};
	record.Long00 = 0x11223344;
	record.CarriedWords[0] = 0xA1B2;
	record.Word46 = 0x0102;
	record.Long49 = 0x00000100;
	std::memcpy(record.InitText, "Torvane test", 13);
	record.Tail77[8] = 0x7F;
	ASSERT_EQ(EXPORT(WriteNVMData)(&record), 1);

	// Multi-byte fields travel big-endian, every other byte unchanged.
	const sim::NvmData stored = scanner.nvm();
	EXPECT_EQ(stored[0x00], 0x11);
	EXPECT_EQ(stored[0x03], 0x44);
	EXPECT_EQ(stored[0x10], 0xA1);
	EXPECT_EQ(stored[0x11], 0xB2);
	EXPECT_EQ(stored[0x46], 0x01);
	EXPECT_EQ(stored[0x47], 0x02);
	EXPECT_EQ(stored[0x4B], 0x01);
	EXPECT_EQ(std::string(reinterpret_cast<const char *>(&stored[0x2E])), "Torvane test");
	EXPECT_EQ(stored[0x7F], 0x7F);
	EXPECT_EQ(scanner.lastNvmQualifier(), 0x14);

	NvmRecord back;
	std::memset(&back, 0xEE, sizeof(back));
	ASSERT_EQ(EXPORT(ReadNVMData)(&back), 1);
	EXPECT_EQ(std::memcmp(&back, &record, sizeof(record)), 0);

	// The NVM test leaves the record as it was.
	EXPECT_EQ(library->call("TestNVM"), 1);
	EXPECT_EQ(scanner.nvm(), stored);
	EXPECT_EQ(fetchError(), 0);
}

TEST_F(ScannerDll, APressReachesTheFrontEndThroughTheOverlappedWait)
{
	load();
	ASSERT_EQ(library->call("InitializeDriver"), 1);
	ButtonSetup setup;
	std::memset(&setup, 0xEE, sizeof(setup));
	ASSERT_EQ(EXPORT(InitialButton)(&setup), 1);
	EXPECT_EQ(setup.HasButtons, 3u);
	EXPECT_EQ(setup.ButtonCount, 2u);
	EXPECT_EQ(setup.ReportSize, 4u);

	// The first poll leaves a wait outstanding; polls without a press find
	// it pending and start no second one.
	ButtonReport report;
	std::memset(&report, 0xEE, sizeof(report));
	ASSERT_EQ(EXPORT(ReadPushButton)(&report), 1);
	EXPECT_EQ(report.Bytes[0], 0);
	ASSERT_EQ(EXPORT(ReadPushButton)(&report), 1);
	EXPECT_EQ(report.Bytes[0], 0);
	DeviceCallLog log = fakeDeviceLog();
	EXPECT_EQ(std::count_if(log.controls.begin(), log.controls.end(),
				[](const ControlRecord &c) { return c.overlapped; }),
		  1);

	const uint8_t press[] = { 0x05, 0x00 };
	ASSERT_TRUE(scanner.pressButton(press));
	ASSERT_EQ(EXPORT(ReadPushButton)(&report), 1);
	const uint8_t expected[16] = { 0x81, 0x02, 0, 0, 0, 0, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0 };
	EXPECT_EQ(std::memcmp(&report, expected, sizeof(expected)), 0);
	// The wait's file is closed once its press was delivered.
	EXPECT_EQ(fakeDeviceLog().openHandles, 0u);
}

TEST_F(ScannerDll, PowerTimersAndEveryLockedCallFailWhileAScanIsBusy)
{
	load();
	ASSERT_EQ(library->call("InitializeDriver"), 1);
	ASSERT_EQ(EXPORT(SetPowerSaveTime)(15), 1);
	ASSERT_EQ(EXPORT(SendPowerOffTime)(0x12345), 1);
	EXPECT_EQ(scanner.powerSaveTime(), 15);
	EXPECT_EQ(scanner.powerOffTime(), 0x2345);

	library->function<TorvaneTestSetScanBusyCall>("TorvaneTestSetScanBusy")(1);
	scanner.clearCommandLog();
	EXPECT_EQ(EXPORT(SetPowerSaveTime)(20), 0);
	EXPECT_EQ(fetchError(), 162);
	NvmRecord record{};
	EXPECT_EQ(EXPORT(ReadNVMData)(&record), 0);
	EXPECT_EQ(fetchError(), 162);
	EXPECT_TRUE(scanner.commandLog().empty());
	library->function<TorvaneTestSetScanBusyCall>("TorvaneTestSetScanBusy")(0);
}

TEST_F(ScannerDll, AWholeScanThroughTheDllDeliversTheScannersImage)
{
	logTo(2);
	load();
	ASSERT_EQ(library->call("InitializeDriver"), 1);
	ASSERT_EQ(library->call("InitializeScanner"), 1);
	ScannerAbilityEx ability{};
	ASSERT_EQ(EXPORT(GetScannerAbilityEx)(&ability), 1);

	// 600 dpi colour over the whole width: no filter, no resampling, no
	// conversion, so the front end gets exactly what the scanner sent.
	const ScanParameter parameter = scanParameterFor({ 600, 4, 24, 40 }, ability.ScanWidth);
	std::vector<uint8_t> raw;
	std::vector<uint8_t> image;
	std::string failure;
	ASSERT_TRUE(scanThrough(
		*library, parameter, 7777, [&] { raw = scanner.rawImage(); }, image, failure))
		<< failure;
	ASSERT_EQ(image.size(), 80u * ability.ScanWidth * 2 * 3);
	EXPECT_TRUE(startsWith(raw, image)) << raw.size() << " raw bytes";
	EXPECT_EQ(scanner.lastReleaseMode(), 0);
	EXPECT_FALSE(scanner.scanning());
	EXPECT_EQ(fakeDeviceLog().openHandles, 0u);
	EXPECT_NE(mainLog().find("\r\nIn   0 : StartScan :"), std::string::npos);
	EXPECT_NE(mainLog().find("\r\nOut  1 : StopScan :"), std::string::npos);

	// The cycle is over: the locked calls work again, a second scan too.
	EXPECT_EQ(library->call("TerminateDriver"), 1);
	ASSERT_TRUE(scanThrough(
		*library, parameter, 65536, [] {}, image, failure))
		<< failure;
	EXPECT_TRUE(startsWith(raw, image));
}

TEST_F(ScannerDll, StopScanEndsAStalledAcquisitionByForceAndTheNextScanWorks)
{
	load();
	ASSERT_EQ(library->call("InitializeDriver"), 1);
	ASSERT_EQ(library->call("InitializeScanner"), 1);
	ScannerAbilityEx ability{};
	ASSERT_EQ(EXPORT(GetScannerAbilityEx)(&ability), 1);
	const ScanParameter parameter = scanParameterFor({ 600, 4, 24, 40 }, ability.ScanWidth);

	// The scanner withholds the image: the acquisition thread sits in
	// ReadFile, inside the exchange lock, until StopScan ends it by force.
	scanner.addFault(sim::FaultRule::stallRead(0x28).forDataType(0x00).always());
	ASSERT_EQ(EXPORT(SetScanParameter)(&parameter), 1);
	ASSERT_EQ(library->call("StartScan"), 1);
	Sleep(100);
	EXPECT_EQ(library->call("StopScan"), 1);
	EXPECT_EQ(scanner.lastReleaseMode(), 0);

	// Nothing was left held: not the device lock, not the exchange lock
	// (abandoned with the thread), not ScanBusy.
	scanner.clearFaults();
	std::vector<uint8_t> image;
	std::string failure;
	EXPECT_TRUE(scanThrough(
		*library, parameter, 65536, [] {}, image, failure))
		<< failure;
}

} // namespace
