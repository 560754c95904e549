// SPDX-License-Identifier: MIT
// Fault rules and button reports written as text (torvane-sim options and
// stdin commands).
//
// A fault rule: KIND,op=N[,type=N][,count=N|always][,sense=...][,status=N][,bytes=N]
//   KIND    check | status | fail-block | fail-data | fail-status | short | empty | stall
//   op      operation code (0x28), type the data type byte 2 of the block
//   count   firings (default 1), or "always"
//   sense   for check: KEY/ASC/ASCQ in hex (05/24/00), or all 22 bytes as 44 hex digits
//   status  for status: the status byte (default 8, BUSY)
//   bytes   for short: the most bytes one READ reply carries
// Numbers are decimal or 0x-prefixed hexadecimal.
// Example: check,op=0x12,sense=02/04/01  stall,op=0x28,type=0  short,op=0x28,bytes=1000,count=always
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "torvane_sim/virtual_scanner.h"

namespace torvane::sim {

// Null with a message in `error` when the text is not a valid rule.
std::optional<FaultRule> parseFaultRule(std::string_view text, std::string *error = nullptr);

// Hexadecimal bytes, pairs of digits, optionally separated by blanks, commas
// or colons ("05", "07 04", "07,04"). Null when a digit is missing or wrong.
std::optional<std::vector<uint8_t>> parseHexBytes(std::string_view text);

// Decimal or 0x-prefixed hexadecimal, up to `max`.
std::optional<uint32_t> parseNumber(std::string_view text, uint32_t max = 0xFFFFFFFFu);

} // namespace torvane::sim
