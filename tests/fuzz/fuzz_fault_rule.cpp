// SPDX-License-Identifier: MIT
// Fuzz target: torvane-sim's fault rules and hexadecimal bytes as typed on
// its command line or standard input.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "torvane_sim/fault_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	using namespace torvane::sim;
	const std::string_view text(reinterpret_cast<const char *>(data), size);
	std::string error;
	const auto rule = parseFaultRule(text, &error);
	// A rejected rule always says why.
	if (!rule && error.empty())
		__builtin_trap();
	(void)parseHexBytes(text);
	(void)parseNumber(text);
	(void)parseNumber(text, 255);
	return 0;
}
