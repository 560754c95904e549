// SPDX-License-Identifier: MIT
// One command exchange: block, data phase, status byte, and REQUEST SENSE
// after a CHECK CONDITION.

#include "transport/transport.h"

#include <memory>

#include "driver/device_lock.h"
#include "driver/driver_state.h"
#include "platform/platform.h"
#include "transport/commands.h"

namespace torvane::transport {

namespace {

// Exchanges never interleave on the device: the whole exchange, and the
// REQUEST SENSE inside it, runs under the machine-wide exchange lock (which is
// re-entrant for that nested exchange). Its wait is as long as the device
// lock's and ends on DoCancel; an exchange that does not get its turn fails
// with 162, as a refused device lock does.
class ExchangeGuard
{
public:
	ExchangeGuard() : taken_(platform::lockExchange(driver::lockWaitMs()) == platform::LockResult::Taken)
	{
		if (!taken_)
			driver::setLastError(TORVANE_ERROR_BUSY);
	}
	~ExchangeGuard()
	{
		if (taken_)
			platform::unlockExchange();
	}
	ExchangeGuard(const ExchangeGuard &) = delete;
	ExchangeGuard &operator=(const ExchangeGuard &) = delete;
	bool taken() const { return taken_; }

private:
	bool taken_;
};

// Opens the scanner's device file; when it cannot be opened the scanner may
// have come back under another number, so discovery runs once. When the file
// found before is gone and no scanner is found instead, it was unplugged.
std::unique_ptr<platform::DeviceFile> openScanner()
{
	const std::string found = devicePath();
	auto device = platform::openDeviceFile(found.c_str());
	if (device) {
		driver::driverState.deviceGone.store(false, std::memory_order_relaxed);
		return device;
	}
	const bool rediscovered = FindScanner() != 0;
	if (rediscovered)
		device = platform::openDeviceFile(devicePath().c_str());
	if (device)
		return device;
	if (!rediscovered && driver::driverState.deviceFound.load(std::memory_order_relaxed) &&
	    !platform::deviceFilePresent(found.c_str()))
		noticeDeviceGone();
	else
		driver::setLastError(TORVANE_ERROR_NO_DEVICE);
	return device;
}

// After a failed transfer (its device file closed first): the scanner is
// gone when its device file no longer opens (a stall or an interrupted read
// leaves it openable).
void checkDeviceStillThere()
{
	if (!platform::deviceFilePresent(devicePath().c_str()))
		noticeDeviceGone();
}

// Reads exactly `length` bytes, asking each time for all that is missing.
bool readFully(platform::DeviceFile &device, uint8_t *buffer, uint32_t length)
{
	uint32_t total = 0;
	int emptyReads = 0;
	while (total < length) {
		uint32_t got = 0;
		if (!device.read(buffer + total, length - total, &got))
			return false;
		if (got == 0) {
			if (++emptyReads >= kMaxEmptyReads)
				return false;
			continue;
		}
		emptyReads = 0;
		total += got;
	}
	return true;
}

// Block, data phase and status byte on an open device file.
bool transfer(platform::DeviceFile &device, const uint8_t block[10], void *buffer, uint32_t lengthIn,
	      uint32_t lengthOut, uint8_t *status)
{
	uint32_t written = 0;
	if (!device.write(block, 10, &written))
		return false;
	if (lengthIn != 0 && !readFully(device, static_cast<uint8_t *>(buffer), lengthIn))
		return false;
	if (lengthOut != 0 && !device.write(buffer, lengthOut, &written))
		return false;
	return readFully(device, status, 1);
}

} // namespace

void noticeDeviceGone()
{
	driver::driverState.deviceGone.store(true, std::memory_order_relaxed);
	driver::setLastError(TORVANE_ERROR_DISCONNECTED);
}

int SendCommand(const uint8_t block[10], void *buffer, uint32_t lengthIn, uint32_t lengthOut)
{
	ExchangeGuard guard;
	if (!guard.taken())
		return 0;
	auto device = openScanner();
	if (!device)
		return 0;

	uint8_t status = 0xFF;
	if (!transfer(*device, block, buffer, lengthIn, lengthOut, &status)) {
		device.reset();
		checkDeviceStillThere();
		return 0;
	}
	if (status == kStatusCheckCondition && block[0] != kOpRequestSense)
		RequestSense();
	return status == kStatusGood ? 1 : 0;
}

int SendDataBlock(const void *data, uint32_t length, uint8_t dataType, uint16_t qualifier)
{
	const CommandBlock block = send10Block(dataType, qualifier, length);
	// The data phase only reads the caller's bytes.
	return SendCommand(block.data(), const_cast<void *>(data), 0, length);
}

int RequestSense()
{
	const CommandBlock block = requestSenseBlock();
	ExchangeGuard guard;
	if (!guard.taken())
		return 0;
	auto device = openScanner();
	if (!device)
		return 0;
	uint8_t status = 0xFF;
	if (!transfer(*device, block.data(), driver::driverState.SenseData, kSenseLength, 0, &status)) {
		device.reset();
		checkDeviceStillThere();
		return 0;
	}
	if (status != kStatusGood)
		return 0;
	return DecodeSense();
}

} // namespace torvane::transport
