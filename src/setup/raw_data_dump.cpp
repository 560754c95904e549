// SPDX-License-Identifier: MIT
// The calibration raw-data dump.

#include "setup/raw_data_dump.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "driver/debug_log.h"
#include "driver/driver_state.h"
#include "setup/scan_settings.h"
#include "setup/setup_clock.h"
#include "transport/commands.h"
#include "transport/transport.h"

namespace torvane::setup {

namespace {

// The dump's folder is SAVEPATH as read at process attach, the name appended
// with no separator. A path that does not fit is not opened at all.
bool rawDataPath(const std::string &name, char (&path)[driver::kPathSize])
{
	const size_t folderLength = strnlen(driver::driverState.SavePath, sizeof(driver::driverState.SavePath));
	if (folderLength + name.size() + 1 > sizeof(path))
		return false;
	std::memcpy(path, driver::driverState.SavePath, folderLength);
	std::memcpy(path + folderLength, name.c_str(), name.size() + 1);
	return true;
}

bool appendToFile(const char *path, const uint8_t *data, uint32_t length)
{
	auto file = platform::openFileForAppend(path);
	return file && file->seekToEnd() && file->write(data, length);
}

} // namespace

uint32_t rawDataSize(uint16_t xres)
{
	return xres <= 300 ? kRawDataSize300 : kRawDataSize600;
}

std::string rawDataFileName(uint16_t xres, const platform::LocalTime &time)
{
	const char *format = xres <= 300 ? "2580_96_1_%d%d%d_Rawdata.raw" : "2580_192_1_%d%d%d_Rawdata.raw";
	char name[64];
	std::snprintf(name, sizeof(name), format, time.hour, time.minute, time.second);
	return name;
}

int DumpRawData()
{
	if (driver::driverState.DebugLevel < kRawDumpLevel)
		return 1;

	const uint16_t xres = scanSettings.workParam.XRes;
	const uint32_t size = rawDataSize(xres);
	char path[driver::kPathSize];
	const bool havePath = rawDataPath(rawDataFileName(xres, setupLocalTime()), path);

	// Zeroed, so that a failed read leaves zeros in the file rather than
	// whatever the memory held; without the buffer nothing is read.
	std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[size]());
	if (!buffer)
		return 0;

	const transport::CommandBlock block = transport::read10Block(transport::kReadCalibration, size);
	const int read = transport::SendCommand(block.data(), buffer.get(), size, 0);

	// A written file is a successful dump even after a failed read.
	if (havePath && appendToFile(path, buffer.get(), size))
		return 1;
	return read;
}

} // namespace torvane::setup
