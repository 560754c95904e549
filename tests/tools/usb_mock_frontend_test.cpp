// SPDX-License-Identifier: MIT
// torvane-scan with a scanner on the emulated USB bus whose device node this
// user may not open: the user is told in words how to get access.

#include <gtest/gtest.h>

#include "emulated_usb.h"
#include "process_runner.h"
#include "support/test_environment.h"
#include "torvane_sim/virtual_scanner.h"

namespace torvane::scan {
namespace {

TEST(UsbMockFrontend, AScannerWithoutAccessIsExplainedToTheUser)
{
	emulated_usb::Bus bus;
	emulated_usb::DeviceSpec spec;
	spec.scanner = std::make_shared<sim::VirtualScanner>();
	spec.nodeMode = 0; // not even its owner
	const size_t device = bus.plug(spec);
	emulated_usb::dropFileAccessOverride();
	torvane::test::TempDir dir;

	const std::string hint = "a scanner is attached at " + bus.nodePath(device) +
				 ", but this user may not open it: give the scanner group read and write access "
				 "with a udev rule (such as SUBSYSTEM==\"usb\", ATTR{idVendor}==\"2f1a\", "
				 "MODE=\"0660\", GROUP=\"scanner\" in a file under /etc/udev/rules.d/), add yourself "
				 "to the scanner group (sudo usermod -aG scanner $USER), then unplug the scanner, plug "
				 "it in again and log in anew\n";
	test::RunResult r = test::run(test::binaryPath("torvane-scan"), { "--no-simulate", "--info" },
				      { { "TORVANE_DEVICE_DIR", std::nullopt } }, dir.path());
	EXPECT_TRUE(r.exited);
	EXPECT_EQ(r.exitCode, 2) << r.err;
	EXPECT_EQ(r.err, "torvane-scan: no supported scanner found\ntorvane-scan: " + hint);

	// Falling back to the simulated scanner, it says so too.
	r = test::run(test::binaryPath("torvane-scan"), { "--list" }, { { "TORVANE_DEVICE_DIR", std::nullopt } },
		      dir.path());
	EXPECT_EQ(r.exitCode, 0) << r.err;
	EXPECT_NE(r.err.find(hint), std::string::npos) << r.err;
	EXPECT_EQ(bus.stats(device).clients, 0);
}

} // namespace
} // namespace torvane::scan
