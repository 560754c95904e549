// SPDX-License-Identifier: MIT
// Debug messages of the backend on standard error, their level set with
// SANE_DEBUG_TORVANE as for every SANE backend (1 errors, 3 calls, 5 details).

#include "debug_output.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <cstdlib>

#include <torvane/torvane.h>

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

const char *actionName(SANE_Action action)
{
	switch (action) {
	case SANE_ACTION_GET_VALUE:
		return "get";
	case SANE_ACTION_SET_VALUE:
		return "set";
	case SANE_ACTION_SET_AUTO:
		return "set automatically";
	}
	return "unknown action";
}

std::string statusText(SANE_Status status)
{
	static const char *const kNames[] = { "SANE_STATUS_GOOD", "SANE_STATUS_UNSUPPORTED",
					      "SANE_STATUS_CANCELLED", "SANE_STATUS_DEVICE_BUSY",
					      "SANE_STATUS_INVAL", "SANE_STATUS_EOF",
					      "SANE_STATUS_JAMMED", "SANE_STATUS_NO_DOCS",
					      "SANE_STATUS_COVER_OPEN", "SANE_STATUS_IO_ERROR",
					      "SANE_STATUS_NO_MEM", "SANE_STATUS_ACCESS_DENIED" };
	const auto index = static_cast<size_t>(status);
	if (index >= std::size(kNames))
		return "SANE status " + std::to_string(static_cast<int>(status));
	return std::string(kNames[index]) + " (" + sane_strstatus(status) + ")";
}

std::string driverErrorText(int32_t code)
{
	switch (code) {
#define TORVANE_SANE_ERROR_NAME(name, value) \
	case value:                          \
		return std::to_string(value) + " " #name;
		TORVANE_ERROR_CODES(TORVANE_SANE_ERROR_NAME)
#undef TORVANE_SANE_ERROR_NAME
	}
	return std::to_string(code);
}

std::string optionName(const SANE_Option_Descriptor &descriptor)
{
	return descriptor.name && *descriptor.name ? descriptor.name : "num-options";
}

std::string optionValue(const SANE_Option_Descriptor &descriptor, const void *value)
{
	const auto *word = static_cast<const SANE_Word *>(value);
	const char *unit = descriptor.unit == SANE_UNIT_MM ? " mm" : descriptor.unit == SANE_UNIT_DPI ? " dpi"
												      : "";
	char text[64];
	switch (descriptor.type) {
	case SANE_TYPE_BOOL:
		return *word == SANE_TRUE ? "yes" : "no";
	case SANE_TYPE_INT:
	case SANE_TYPE_FIXED:
		if (descriptor.size > static_cast<SANE_Int>(sizeof(SANE_Word)))
			return std::to_string(descriptor.size / sizeof(SANE_Word)) + " values";
		if (descriptor.type == SANE_TYPE_INT)
			std::snprintf(text, sizeof(text), "%d%s", *word, unit);
		else
			std::snprintf(text, sizeof(text), "%.4g%s", SANE_UNFIX(*word), unit);
		return text;
	case SANE_TYPE_STRING:
		return std::string(static_cast<const char *>(value),
				   strnlen(static_cast<const char *>(value), static_cast<size_t>(descriptor.size)));
	default:
		return "";
	}
}

} // namespace torvane::sane
