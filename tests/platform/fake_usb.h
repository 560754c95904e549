// SPDX-License-Identifier: MIT
// A stand-in for libusb with scanners on imaginary ports, so that the device
// files of real scanners can be tested without hardware (and without
// umockdev). Its definitions come before libusb in the test program's link,
// so the libusb calls of the driver land here. The real libusb meets
// emulated scanners in the umockdev tests (emulated_usb.h).
//
// Each device has a bulk-out pipe that records what it gets, a bulk-in pipe
// that serves queued bytes (or stalls while empty, if asked), and an
// interrupt-in pipe that serves queued button reports.

#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

namespace fake_usb {

// Something that serves a device's pipes in place of the queues below (a
// virtual scanner, say). Called with the stand-in's lock held.
class Peer
{
public:
	virtual ~Peer() = default;
	virtual void opened() {}
	virtual void closed() {}
	// Bulk out; false fails the transfer.
	virtual bool write(const uint8_t *data, uint32_t length, uint32_t *accepted) = 0;
	// Bulk in. NotYet leaves the transfer waiting for a later look.
	enum class Read {
		Done,
		Failed,
		NotYet
	};
	virtual Read read(uint8_t *data, uint32_t max, uint32_t *got) = 0;
	// Interrupt in; false while there is no report.
	virtual bool report(uint8_t *data, uint32_t max, uint32_t *got) = 0;
};

struct Device {
	uint16_t vendorId = 0x2F1A;
	uint16_t productId = 0x0735;
	uint16_t release = 0x0100;
	uint8_t bus = 1;
	std::vector<uint8_t> ports{ 1 };
	bool withInterruptPipe = true;
	bool refuseClaim = false;

	// Filled by the fake as the driver uses the device.
	int opens = 0;	 // handles opened and not yet closed
	int claimed = 0; // interface claims held
	int totalClaims = 0;
	std::vector<std::vector<uint8_t>> written; // one entry per bulk-out transfer
	std::vector<int> bulkTimeouts;		   // the time-out of every bulk transfer

	// What the device sends.
	std::deque<uint8_t> bulkIn;
	std::deque<std::vector<uint8_t>> interruptReports;
	// When set, serves the pipes instead of the queues.
	std::shared_ptr<Peer> peer;
};

// Replaces the attached devices. Pipes: 0x81 bulk in, 0x02 bulk out, 0x83
// interrupt in (when the device has one).
void attach(std::vector<Device> devices);
// Runs `change` on device `index` under the fake's lock (other threads may be
// inside libusb calls).
template<typename Change>
void with(std::size_t index, Change change);
Device snapshot(std::size_t index);
// Transfers submitted and not yet given back.
int pendingTransfers();

// Implementation detail of with().
void lock();
void unlock();
Device &deviceAt(std::size_t index);

template<typename Change>
void with(std::size_t index, Change change)
{
	lock();
	change(deviceAt(index));
	unlock();
}

} // namespace fake_usb
