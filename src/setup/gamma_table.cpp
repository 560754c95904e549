// SPDX-License-Identifier: MIT
// SetGammaTable's work.

#include "setup/gamma_table.h"

#include <cstring>

#include "driver/debug_log.h"
#include "driver/driver_state.h"
#include "transport/commands.h"
#include "transport/transport.h"

namespace torvane::setup {

namespace {

struct ChannelRow {
	uint8_t channel;
	uint16_t qualifier;
};

// Channels 0 and 1 both address the first table.
constexpr ChannelRow kChannels[] = {
	{ 0, 0 },
	{ 1, 0 },
	{ 2, 1 },
	{ 3, 2 },
};

constexpr uint32_t kGammaLogLevel = 2;
constexpr const char *kGammaEnd = "======Parameter Debug Output End==========";

} // namespace

DeviceGammaTable buildDeviceGammaTable(const uint8_t *table)
{
	DeviceGammaTable device{};
	for (size_t i = 0; i < kGammaEntries; ++i)
		device[2 * i + 1] = table[i];
	return device;
}

std::optional<uint16_t> gammaQualifier(uint8_t channel)
{
	for (const ChannelRow &row : kChannels) {
		if (row.channel == channel)
			return row.qualifier;
	}
	return std::nullopt;
}

void logGammaTable(const DeviceGammaTable &table)
{
	if (!driver::logEnabled(kGammaLogLevel))
		return;
	for (size_t i = 0; i < table.size(); ++i)
		driver::logLine(driver::kGammaLog, kGammaLogLevel, "AP.GammaTable %i ===> %i", static_cast<int>(i),
				table[i]);
	driver::WriteDebugLog(driver::kGammaLog, kGammaEnd, static_cast<uint32_t>(std::strlen(kGammaEnd)),
			      kGammaLogLevel);
	driver::WriteDebugLog(driver::kGammaLog, "", 0, kGammaLogLevel);
}

int sendGammaTable(const uint8_t *table, uint8_t channel)
{
	// Without a table there is nothing to send or to log.
	if (!table) {
		driver::setLastError(TORVANE_ERROR_GENERAL);
		return 0;
	}

	const DeviceGammaTable device = buildDeviceGammaTable(table);
	int result = 0;
	if (const auto qualifier = gammaQualifier(channel))
		result = transport::SendDataBlock(device.data(), kDeviceGammaSize, transport::kSendGamma, *qualifier);
	// The table is logged whether or not it went out.
	logGammaTable(device);
	if (!result)
		driver::setLastError(TORVANE_ERROR_GENERAL);
	return result;
}

} // namespace torvane::setup
