// SPDX-License-Identifier: MIT
// The driver's records in words: the scanner's abilities (--info, --list) and
// the non-volatile memory record (--nvm-read).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include <torvane/torvane.h>

namespace torvane::scan {

// A fixed-size text field of a record: up to the first zero byte or the
// field's end, trailing blanks removed, other bytes than printable ASCII as '?'.
std::string fieldText(const char *field, size_t size);

// "RM735" from the extended record (all 16 characters of the product id).
std::string productName(const ScannerAbilityEx &ability);

// One line for --list: product, vendor, revision, area.
std::string describeScannerLine(const ScannerAbilityEx &ability);

// The abilities in words for --info.
std::string describeAbilities(const ScannerAbility &basic, const ScannerAbilityEx &extended);

// 16 bytes per row: offset, hex bytes, printable characters.
std::string hexDump(const uint8_t *data, size_t size);

// The NVM record: hex dump, then its fields.
std::string describeNvmRecord(const NvmRecord &record);

} // namespace torvane::scan
