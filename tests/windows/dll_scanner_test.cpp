// SPDX-License-Identifier: MIT
// The driver DLL against virtual scanners: the test driver's device calls
// answered by scanner models inside this program, everything else (exports,
// library entry, registry, log, event) as a front end meets it.

#include <memory>
#include <string>
#include <vector>

#include <windows.h>

#include <gtest/gtest.h>

#include "support/driver_files.h"
#include "support/sim_device_calls.h"
#include "support/torvane_test.h"
#include "support/win_test_support.h"
#include "torvane/torvane.h"
#include "torvane_sim/virtual_scanner.h"

using namespace torvane;
using namespace torvane::wintest;

namespace {

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

} // namespace
