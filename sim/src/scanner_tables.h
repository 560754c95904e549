// SPDX-License-Identifier: MIT
// The factory contents of the simulated models: inquiry data and NVM record.
#pragma once

#include <cstdint>
#include <initializer_list>

#include "torvane_sim/virtual_scanner.h"

namespace torvane::sim {

struct ModelTraits {
	Model model;
	const char *name;
	uint16_t productId;
	uint8_t kindCode; // inquiry byte 36 bits 4-6
	uint8_t flags39;
	uint8_t flags50;     // bit 6: push buttons
	uint8_t buttons;     // inquiry byte 92
	uint16_t scanLength; // inquiry bytes 83-84, 1/300 inch
	uint16_t word87;     // inquiry bytes 87-88
	const char *serial;  // NVM 0x56
};

// RM735: sheet-fed (kind 2), two buttons, 14-inch (legal) scan length.
// KT918: flatbed (kind 1), no buttons, A4 scan length.
inline constexpr ModelTraits kModelTraits[] = {
	{ Model::RM735, "RM735", 0x0735, 2, 0x21, 0x50, 2, 4200, 0xFFFF, "SN RM735-004211" },
	{ Model::KT918, "KT918", 0x0918, 1, 0x20, 0x10, 0, 3508, 0x0000, "SN KT918-001078" },
};

const ModelTraits &traitsOf(Model model);

// Inquiry bytes shared by both models (offset, value); the model-specific
// ones are filled from ModelTraits.
struct InquiryByte {
	uint8_t offset;
	uint8_t value;
};

inline constexpr InquiryByte kCommonInquiry[] = {
	{ 0, 0x06 }, // peripheral device type: scanner
	{ 2, 0x02 }, // SCSI-2
	{ 3, 0x02 }, // response data format
	{ 4, 155 },  // additional length: 160 - 5
	{ 38, 6 },   // 600 dpi, in hundreds
	{ 40, 0x01 },
	{ 41, 0x2C }, // R1 300
	{ 42, 0x02 },
	{ 43, 0x58 }, // R2 600
	{ 44, 0x01 },
	{ 45, 0x2C }, // R3 300
	{ 46, 0x02 },
	{ 47, 0x58 }, // R4 600
	{ 51, 0x08 },
	{ 52, 0x10 },
	{ 54, 1 },
	{ 55, 8 },
	{ 56, 8 },
	{ 57, 16 },
	{ 58, 1 },
	{ 59, 2 },
	{ 60, 0x00 },
	{ 61, 0 },
	{ 62, 0x03 },
	{ 63, 0x01 },
	{ 75, 0x02 },
	{ 76, 0x00 },
	{ 81, 0x09 },
	{ 82, 0xF6 }, // width 2550 pixels at 300 dpi (8.5 inch)
	{ 89, 0x01 },
	{ 90, 0x00 },
	{ 129, 0x01 },
};

inline constexpr char kVendor[] = "TORVANE "; // 8 bytes, blank-padded
inline constexpr char kRevision[] = "1.03";
inline constexpr uint16_t kDeviceRelease = 0x0103;
inline constexpr uint16_t kLanguage = 0x0409;

} // namespace torvane::sim
