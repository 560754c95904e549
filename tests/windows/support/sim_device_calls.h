// SPDX-License-Identifier: MIT
// Virtual scanners behind \\.\usbscanN, inside the test program: each open of
// a device file is one connection to the scanner model, as with the socket
// server on Linux.
#pragma once

#include <map>
#include <memory>
#include <mutex>

#include <windows.h>

#include "support/fake_device_calls.h"
#include "torvane_sim/virtual_scanner.h"

namespace torvane::wintest {

class VirtualScannerSet : public FakeDeviceSet
{
public:
	VirtualScannerSet();
	~VirtualScannerSet() override;

	// Plugs `scanner` in as \\.\usbscan<number>; it must outlive the set.
	void plug(int number, sim::VirtualScanner &scanner);
	// Later opens of the name fail; open files stay usable.
	void unplug(int number);

	std::unique_ptr<FakeConnection> open(const std::string &name) override;

private:
	std::mutex mutex_;
	std::map<int, sim::VirtualScanner *> scanners_;
	std::map<sim::VirtualScanner *, int> listeners_;
	// Set when a scanner releases stalled reads or queues a press.
	HANDLE wake_;
};

} // namespace torvane::wintest
