// SPDX-License-Identifier: MIT
// The debug log: one open, append and close per line, so that several
// processes can share a log file and a vanished folder only drops lines.

#include "driver/debug_log.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "driver/driver_state.h"
#include "platform/platform.h"

namespace torvane::driver {

bool logEnabled(uint32_t level)
{
	return level <= driverState.DebugLevel;
}

int WriteDebugLog(const char *fileName, const char *message, uint32_t length, uint32_t level)
{
	if (!logEnabled(level))
		return 1;

	// The folder is read per line, so a changed SAVEPATH takes effect at once.
	char path[kPathSize];
	if (!platform::readConfigText("SAVEPATH", path, sizeof(path)))
		return 0;
	const size_t folderLength = std::strlen(path);
	const size_t nameLength = std::strlen(fileName);
	if (folderLength + nameLength + 1 > sizeof(path))
		return 0;
	std::memcpy(path + folderLength, fileName, nameLength + 1);

	auto file = platform::openFileForAppend(path);
	if (!file || !file->seekToEnd())
		return 0;
	if (!file->write("\r\n", 2))
		return 0;
	if (length != 0 && !file->write(message, length))
		return 0;
	return 1;
}

void logLine(const char *fileName, uint32_t level, const char *format, ...)
{
	if (!logEnabled(level))
		return;
	// Each thread formats into its own buffer: lines of concurrent callers
	// never mix.
	char buffer[kPathSize];
	va_list arguments;
	va_start(arguments, format);
	int length = std::vsnprintf(buffer, sizeof(buffer), format, arguments);
	va_end(arguments);
	if (length < 0)
		return;
	if (static_cast<size_t>(length) >= sizeof(buffer))
		length = sizeof(buffer) - 1;
	WriteDebugLog(fileName, buffer, static_cast<uint32_t>(length), level);
}

} // namespace torvane::driver
