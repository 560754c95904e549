// SPDX-License-Identifier: MIT
// The wire between the driver's POSIX device files and a simulated scanner.
//
// A device file \\.\usbscanN is the Unix stream socket usbscanN in the folder
// $TORVANE_DEVICE_DIR; every open is one connection. The driver sends
// requests, the device answers each with exactly one reply. All integers are
// little-endian u32. A request is op, length and `length` payload bytes; a
// reply starts with result and count:
//   op 1 WRITE:   payload the bytes;           reply count = bytes accepted
//   op 2 READ:    payload max (u32);           reply data: count bytes (<= max)
//   op 3 IOCTL:   payload code (u32), input;   reply data: count output bytes
// A result other than 0 fails the call. The reply to a wait on a device event
// comes only when there is an event (a button press).
#pragma once

#include <array>
#include <cstdint>

#include "torvane_protocol/byte_order.h"

namespace torvane::protocol {

inline constexpr char kDeviceDirectoryVariable[] = "TORVANE_DEVICE_DIR";
inline constexpr char kDeviceFilePrefix[] = "usbscan";

enum WireOp : uint32_t {
	kOpWrite = 1,
	kOpRead = 2,
	kOpControl = 3
};

inline constexpr uint32_t kWireSuccess = 0;

// Both headers are two words: op and length, or result and count.
inline constexpr uint32_t kWireHeaderLength = 8;
using WireHeader = std::array<uint8_t, kWireHeaderLength>;

struct RequestHeader {
	uint32_t op;
	uint32_t length;
};

struct ReplyHeader {
	uint32_t result;
	uint32_t count;
};

constexpr WireHeader encodeRequestHeader(RequestHeader request)
{
	WireHeader header{};
	writeLittleEndian32(&header[0], request.op);
	writeLittleEndian32(&header[4], request.length);
	return header;
}

constexpr WireHeader encodeReplyHeader(ReplyHeader reply)
{
	WireHeader header{};
	writeLittleEndian32(&header[0], reply.result);
	writeLittleEndian32(&header[4], reply.count);
	return header;
}

constexpr RequestHeader decodeRequestHeader(const WireHeader &header)
{
	return { readLittleEndian32(&header[0]), readLittleEndian32(&header[4]) };
}

constexpr ReplyHeader decodeReplyHeader(const WireHeader &header)
{
	return { readLittleEndian32(&header[0]), readLittleEndian32(&header[4]) };
}

// The one word that opens a READ or IOCTL payload (max, or code).
inline constexpr uint32_t kWireWordLength = 4;

} // namespace torvane::protocol
