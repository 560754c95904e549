// SPDX-License-Identifier: MIT
// The numbering of real scanners and the device files' records.

#include "platform/posix/usb_numbering.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <tuple>

#include "torvane_protocol/byte_order.h"
#include "torvane_protocol/control_codes.h"
#include "torvane_protocol/socket_wire.h"
#include "torvane_protocol/supported_devices.h"

namespace torvane::platform::usb {

std::optional<unsigned> deviceNumberOf(const char *name)
{
	if (!name)
		return std::nullopt;
	const char *base = std::strrchr(name, '\\');
	base = base ? base + 1 : name;
	constexpr size_t kPrefixLength = sizeof(protocol::kDeviceFilePrefix) - 1;
	if (std::strncmp(base, protocol::kDeviceFilePrefix, kPrefixLength) != 0)
		return std::nullopt;
	const char *digits = base + kPrefixLength;
	if (!*digits)
		return std::nullopt;
	unsigned number = 0;
	for (const char *c = digits; *c; ++c) {
		if (*c < '0' || *c > '9')
			return std::nullopt;
		const unsigned digit = static_cast<unsigned>(*c - '0');
		if (number > (std::numeric_limits<unsigned>::max() - digit) / 10)
			return std::nullopt;
		number = number * 10 + digit;
	}
	return number;
}

std::vector<size_t> scannerOrder(const std::vector<AttachedDevice> &attached)
{
	// Only the products the driver is installed for get a device file, as
	// the system's still-image driver creates them on Windows.
	std::vector<size_t> order;
	for (size_t i = 0; i < attached.size(); ++i)
		if (protocol::isSupportedDevice(attached[i].vendorId, attached[i].productId))
			order.push_back(i);
	std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
		return std::tie(attached[a].bus, attached[a].ports) < std::tie(attached[b].bus, attached[b].ports);
	});
	return order;
}

std::array<uint8_t, 8> deviceDescriptorRecord(uint16_t vendorId, uint16_t productId, uint16_t release)
{
	// The language word is 0: the device file reports no string language.
	return protocol::encodeDeviceDescriptor({ vendorId, productId, release, 0 });
}

namespace {

// Seconds to milliseconds, saturating rather than wrapping to a short time.
uint32_t millisecondsOf(uint32_t seconds)
{
	constexpr uint32_t kMax = std::numeric_limits<uint32_t>::max();
	return seconds > kMax / 1000 ? kMax : seconds * 1000;
}

} // namespace

std::optional<Timeouts> timeoutsFromRecord(const uint8_t *record, uint32_t length)
{
	if (!record || length < protocol::kTimeoutRecordLength)
		return std::nullopt;
	const uint32_t read = protocol::readLittleEndian32(record);
	const uint32_t write = protocol::readLittleEndian32(record + 4);
	const uint32_t event = protocol::readLittleEndian32(record + 8);
	return Timeouts{ read ? millisecondsOf(read) : kDefaultTransferTimeoutMs,
			 write ? millisecondsOf(write) : kDefaultTransferTimeoutMs, millisecondsOf(event) };
}

} // namespace torvane::platform::usb
