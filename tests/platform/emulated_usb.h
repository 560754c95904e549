// SPDX-License-Identifier: MIT
// Scanners on an emulated USB bus: sysfs entries and /dev/bus/usb nodes in a
// umockdev testbed, and a handler in this process that answers the usbdevfs
// ioctls from the virtual scanner, so the driver runs on the real libusb.
//
// The program must run with libumockdev-preload loaded (runUnderUmockdev()).
// Each scanner has one interface with a bulk-in pipe 0x81, a bulk-out pipe
// 0x02 and, when asked, an interrupt-in pipe 0x83. A device without a
// scanner (another vendor's, say) answers nothing beyond its descriptors.

#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace torvane::sim {
class VirtualScanner;
}

namespace emulated_usb {

inline constexpr uint8_t kBulkIn = 0x81;
inline constexpr uint8_t kBulkOut = 0x02;
inline constexpr uint8_t kInterruptIn = 0x83;

struct DeviceSpec {
	uint16_t vendorId = 0x2F1A;
	uint16_t productId = 0x0735;
	uint16_t release = 0x0100;
	uint8_t bus = 1;
	std::vector<uint8_t> ports{ 1 }; // hub ports from the root hub down
	bool interruptPipe = true;
	std::shared_ptr<torvane::sim::VirtualScanner> scanner;
	// A kernel driver bound to the interface, which a claim must detach.
	std::string kernelDriver;
	// The node's mode bits: 0 takes every access away (with
	// dropFileAccessOverride() when root).
	unsigned nodeMode = 0666;
	// Whether the host controller does scatter-gather: then libusb makes one
	// URB of a transfer; without it, URBs of 16 KB chained by continuation.
	bool scatterGather = true;
};

// What the device has seen, for the tests' checks.
struct DeviceStats {
	int clients = 0; // open file descriptors on the node
	int claimed = 0; // interface claims held
	int totalClaims = 0;
	int clearHalts = 0;			  // CLEAR_HALT requests, any endpoint
	int discarded = 0;			  // URBs cancelled by the driver
	int flying = 0;				  // URBs submitted and not yet reaped
	int detaches = 0;			  // kernel driver detached for a claim
	int reattaches = 0;			  // kernel driver bound again after release
	std::vector<uint32_t> bulkInLengths;	  // buffer length of every bulk-in URB
	std::vector<std::string> unknownRequests; // ioctls the emulation does not know
};

class Bus
{
public:
	Bus();
	~Bus();
	Bus(const Bus &) = delete;
	Bus &operator=(const Bus &) = delete;

	// Plugs a device in (and the hubs on its way); returns its index.
	size_t plug(DeviceSpec spec);
	// Pulls it out: transfers in flight end with ESHUTDOWN, every later
	// request on an open descriptor fails with ENODEV, and it is gone from
	// sysfs and /dev.
	void unplug(size_t index);
	// The device halts `endpoint` at its next transfer there: that URB ends
	// with EPIPE, and so does every later one until CLEAR_HALT.
	void haltEndpoint(size_t index, uint8_t endpoint);
	DeviceStats stats(size_t index) const;
	// Waits (at most about ten seconds) until a bulk-in URB submitted after
	// the first `earlier` ones is the one URB in flight: a read the device
	// withholds. True when it is.
	bool waitForWithheldRead(size_t index, size_t earlier) const;
	std::string nodePath(size_t index) const; // /dev/bus/usb/BBB/DDD

	class Private;

private:
	std::unique_ptr<Private> d_;
};

// Re-runs the program with the umockdev preload library (after a sanitizer
// runtime, which must come first) when it is not loaded yet; returns when it is.
void runUnderUmockdev(int argc, char **argv);

// Takes from the calling thread (and the threads and programs it starts)
// the power to open files regardless of their modes, as an ordinary user
// lacks it; no-op when not root.
void dropFileAccessOverride();

} // namespace emulated_usb
