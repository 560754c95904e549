// SPDX-License-Identifier: MIT
// How real scanners become \\.\usbscanN on POSIX, and the records the
// still-image device files exchange, kept apart from libusb so that they can
// be tested on any machine.
//
// Numbering: the supported scanners attached, ordered by bus number and then
// by the chain of hub ports that leads to them. The order does not depend on
// the order of plugging in or on device addresses, so a scanner keeps its
// number for as long as it stays on its port and no scanner is added on a
// lower one.

#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

namespace torvane::platform::usb {

struct AttachedDevice {
	uint16_t vendorId = 0;
	uint16_t productId = 0;
	uint8_t bus = 0;
	std::vector<uint8_t> ports; // from the root hub down
};

// N of a device name "\\.\usbscanN" (also "usbscanN"); none for any other name.
std::optional<unsigned> deviceNumberOf(const char *name);

// Indices into `attached` of the scanners, in the numbering order.
std::vector<size_t> scannerOrder(const std::vector<AttachedDevice> &attached);

// The 8-byte device descriptor of the still-image device file: vendor,
// product, device release and language, each 16-bit little-endian.
std::array<uint8_t, 8> deviceDescriptorRecord(uint16_t vendorId, uint16_t productId, uint16_t release);

// Time-outs in milliseconds for the device files' transfers.
struct Timeouts {
	uint32_t readMs;
	uint32_t writeMs;
	uint32_t eventMs; // 0: the button wait never times out
};

inline constexpr uint32_t kDefaultTransferTimeoutMs = 120000;
inline constexpr Timeouts kDefaultTimeouts = { kDefaultTransferTimeoutMs, kDefaultTransferTimeoutMs, 0 };

// The 12-byte time-out record: read, write and event time-outs in seconds,
// 32-bit little-endian. A zero read or write time-out keeps the default, so
// that a scanner that stops answering cannot hold a transfer for ever; a
// zero event time-out lets the button wait wait until it is answered or
// abandoned. None when the record is short.
std::optional<Timeouts> timeoutsFromRecord(const uint8_t *record, uint32_t length);

} // namespace torvane::platform::usb
