// SPDX-License-Identifier: MIT
// Byte-order helpers: the scanner's command blocks and data are big-endian,
// the device files' control records and the socket wire little-endian.
#pragma once

#include <cstdint>

namespace torvane::protocol {

constexpr uint16_t swap16(uint16_t value)
{
	return static_cast<uint16_t>((value >> 8) | (value << 8));
}

constexpr uint32_t swap32(uint32_t value)
{
	return (value >> 24) | ((value >> 8) & 0xFF00u) | ((value << 8) & 0xFF0000u) | (value << 24);
}

// Big-endian fields in byte buffers (no alignment needed).
constexpr uint16_t readBigEndian16(const uint8_t *bytes)
{
	return static_cast<uint16_t>(bytes[0] << 8 | bytes[1]);
}

constexpr uint32_t readBigEndian32(const uint8_t *bytes)
{
	return static_cast<uint32_t>(bytes[0]) << 24 | static_cast<uint32_t>(bytes[1]) << 16 |
	       static_cast<uint32_t>(bytes[2]) << 8 | bytes[3];
}

constexpr void writeBigEndian16(uint8_t *bytes, uint16_t value)
{
	bytes[0] = static_cast<uint8_t>(value >> 8);
	bytes[1] = static_cast<uint8_t>(value);
}

constexpr void writeBigEndian24(uint8_t *bytes, uint32_t value)
{
	bytes[0] = static_cast<uint8_t>(value >> 16);
	bytes[1] = static_cast<uint8_t>(value >> 8);
	bytes[2] = static_cast<uint8_t>(value);
}

constexpr void writeBigEndian32(uint8_t *bytes, uint32_t value)
{
	bytes[0] = static_cast<uint8_t>(value >> 24);
	bytes[1] = static_cast<uint8_t>(value >> 16);
	bytes[2] = static_cast<uint8_t>(value >> 8);
	bytes[3] = static_cast<uint8_t>(value);
}

// Little-endian fields in byte buffers (no alignment needed).
constexpr uint16_t readLittleEndian16(const uint8_t *bytes)
{
	return static_cast<uint16_t>(bytes[0] | bytes[1] << 8);
}

constexpr uint32_t readLittleEndian32(const uint8_t *bytes)
{
	return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
	       static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

constexpr void writeLittleEndian16(uint8_t *bytes, uint16_t value)
{
	bytes[0] = static_cast<uint8_t>(value);
	bytes[1] = static_cast<uint8_t>(value >> 8);
}

constexpr void writeLittleEndian32(uint8_t *bytes, uint32_t value)
{
	bytes[0] = static_cast<uint8_t>(value);
	bytes[1] = static_cast<uint8_t>(value >> 8);
	bytes[2] = static_cast<uint8_t>(value >> 16);
	bytes[3] = static_cast<uint8_t>(value >> 24);
}

} // namespace torvane::protocol
