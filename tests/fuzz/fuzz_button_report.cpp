// SPDX-License-Identifier: MIT
// Fuzz target: the button report of the interrupt pipe, rewritten for the
// front end.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "panel/button_report.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	using namespace torvane::panel;
	// The wait delivers at most 8 bytes; fewer leave the rest zero.
	const auto report = std::make_unique<uint8_t[]>(kButtonReportBytes);
	std::memcpy(report.get(), data, size < kButtonReportBytes ? size : kButtonReportBytes);
	uint8_t delivered[kButtonReportBytes];
	std::memcpy(delivered, report.get(), kButtonReportBytes);
	rewriteButtonReport(report.get());

	// A pressed button is reported as 0x81 with its number; bytes 2 to 5 and
	// 7 are never touched.
	if (report[1] != 0 && (report[0] != 0x81 || report[6] != 1))
		std::abort();
	for (size_t i : { 2u, 3u, 4u, 5u, 7u })
		if (report[i] != delivered[i])
			std::abort();
	return 0;
}
