// SPDX-License-Identifier: MIT
// Debug messages of the backend on standard error, their level set with
// SANE_DEBUG_TORVANE as for every SANE backend (1 errors, 3 calls, 5 details).

#include "debug_output.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace torvane::sane {

namespace {

std::atomic<int> debugLevel{ 0 };

} // namespace

void readDebugLevel()
{
	const char *text = std::getenv("SANE_DEBUG_TORVANE");
	debugLevel.store(text ? std::atoi(text) : 0);
}

void debugLog(int level, const char *format, ...)
{
	if (level > debugLevel.load())
		return;
	// One line in one write, so that lines of two threads never mix.
	char line[1024];
	va_list arguments;
	va_start(arguments, format);
	std::vsnprintf(line, sizeof(line), format, arguments);
	va_end(arguments);
	std::fprintf(stderr, "[torvane] %s\n", line);
}

} // namespace torvane::sane
