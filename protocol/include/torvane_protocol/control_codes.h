// SPDX-License-Identifier: MIT
// The device control requests of the still-image device files, and the
// records they carry (little-endian, as the USB device file driver has them).
#pragma once

#include <array>
#include <cstdint>

#include "torvane_protocol/byte_order.h"

namespace torvane::protocol {

// Sets the device file's time-outs: a 12-byte record, no output.
inline constexpr uint32_t kIoctlSetTimeout = 0x8000202C;
// Reads the USB device descriptor's identity: no input, 8 bytes of output.
inline constexpr uint32_t kIoctlGetDeviceDescriptor = 0x80002018;
// Waits on the interrupt pipe for a device event (a button press): 8 bytes.
inline constexpr uint32_t kIoctlWaitOnDeviceEvent = 0x80002008;

// The time-out record: read, write and event time-outs in seconds, each a
// 32-bit word.
inline constexpr uint32_t kTimeoutRecordLength = 12;

// The event record of a wait: the scanner's 8-byte button report.
inline constexpr uint32_t kDeviceEventLength = 8;

// The descriptor record: four 16-bit words.
inline constexpr uint32_t kDeviceDescriptorLength = 8;

struct DeviceDescriptor {
	uint16_t vendorId = 0;
	uint16_t productId = 0;
	uint16_t release = 0;
	uint16_t language = 0;
};

constexpr std::array<uint8_t, kDeviceDescriptorLength> encodeDeviceDescriptor(const DeviceDescriptor &descriptor)
{
	std::array<uint8_t, kDeviceDescriptorLength> record{};
	writeLittleEndian16(&record[0], descriptor.vendorId);
	writeLittleEndian16(&record[2], descriptor.productId);
	writeLittleEndian16(&record[4], descriptor.release);
	writeLittleEndian16(&record[6], descriptor.language);
	return record;
}

constexpr DeviceDescriptor decodeDeviceDescriptor(const std::array<uint8_t, kDeviceDescriptorLength> &record)
{
	return { readLittleEndian16(&record[0]), readLittleEndian16(&record[2]), readLittleEndian16(&record[4]),
		 readLittleEndian16(&record[6]) };
}

} // namespace torvane::protocol
