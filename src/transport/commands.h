// SPDX-License-Identifier: MIT
// The command blocks the driver sends, each 10 bytes, multi-byte fields
// big-endian.
#pragma once

#include <array>
#include <cstdint>

namespace torvane::transport {

using CommandBlock = std::array<uint8_t, 10>;

enum OperationCode : uint8_t {
	kOpRequestSense = 0x03,
	kOpInquiry = 0x12,
	kOpReserveUnit = 0x16,
	kOpReleaseUnit = 0x17,
	kOpScan = 0x1B,
	kOpSetWindow = 0x24,
	kOpRead10 = 0x28,
	kOpSend10 = 0x2A,
};

// READ(10) data type codes.
enum ReadDataType : uint8_t {
	kReadImageData = 0x00,
	kReadWindow = 0x60,
	kReadCalibration = 0x62,
	kReadNvm = 0x69,
};

// SEND(10) data type codes.
enum SendDataType : uint8_t {
	kSendGamma = 0x81,
	kSendNvm = 0x85,
	kSendPowerSaveTime = 0xA2,
	kSendPowerOffTime = 0xA9,
};

inline constexpr uint32_t kInquiryLength = 160;
inline constexpr uint32_t kSenseLength = 22;
inline constexpr uint32_t kWindowBlockLength = 79;
inline constexpr uint32_t kWindowReadBackLength = 32;
inline constexpr uint32_t kNvmRecordLength = 128;
// Every READ(10) carries this qualifier in bytes 4 and 5.
inline constexpr uint16_t kReadQualifier = 0x0A0D;

CommandBlock requestSenseBlock();
CommandBlock inquiryBlock();
CommandBlock reserveUnitBlock();
// mode: 0, or 3 after DoCancel.
CommandBlock releaseUnitBlock(uint8_t mode);
CommandBlock scanBlock();
CommandBlock setWindowBlock();
// Only the low 24 bits of the length are sent.
CommandBlock read10Block(uint8_t dataType, uint32_t length);
CommandBlock send10Block(uint8_t dataType, uint16_t qualifier, uint32_t length);

} // namespace torvane::transport
