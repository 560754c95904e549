// SPDX-License-Identifier: MIT
// Device calls for tests: CreateFileA, ReadFile, WriteFile, DeviceIoControl,
// GetOverlappedResult, CancelIoEx and CloseHandle on \\.\usbscanN answered by
// scanner models inside the test program, with a log of every call.
//
// The driver's Win32 device files run unchanged on top of these calls; only
// the handles are made up (they are never real kernel objects).
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <windows.h>

#include "platform/win32/device_calls.h"

namespace torvane::wintest {

// One open device file, as the model behind it sees it.
class FakeConnection
{
public:
	virtual ~FakeConnection() = default;
	virtual bool write(const uint8_t *data, DWORD length, DWORD *written) = 0;
	virtual bool read(uint8_t *data, DWORD length, DWORD *got) = 0;
	virtual bool control(DWORD code, const uint8_t *in, DWORD inLength, uint8_t *out, DWORD outLength,
			     DWORD *returned) = 0;

	// The overlapped IOCTL_WAIT_ON_DEVICE_EVENT.
	enum class WaitStart {
		Pending,
		Immediate,
		Failed
	};
	virtual WaitStart beginEventWait() { return WaitStart::Pending; }
	static constexpr int kNotYet = -1;
	static constexpr int kFailed = -2;
	// kNotYet while the wait is outstanding; the number of bytes (0 to 8) put
	// into `report` once it has completed; kFailed when it ended in failure.
	virtual int pollEvent(uint8_t report[8])
	{
		(void)report;
		return kNotYet;
	}
};

// The models behind the device names.
class FakeDeviceSet
{
public:
	virtual ~FakeDeviceSet() = default;
	// Null when no device answers to `name` (the open then fails).
	virtual std::unique_ptr<FakeConnection> open(const std::string &name) = 0;
};

struct CreateRecord {
	std::string name;
	DWORD access;
	DWORD share;
	DWORD disposition;
	DWORD flags;
	bool opened;
};

struct ControlRecord {
	DWORD code;
	DWORD inLength;
	DWORD outLength;
	bool inSameAsOut;
	bool overlapped;
};

// The log of calls since install().
struct DeviceCallLog {
	std::vector<CreateRecord> creates;
	std::vector<ControlRecord> controls;
	size_t closes = 0;
	size_t cancels = 0;
	size_t waitingResults = 0; // GetOverlappedResult with bWait TRUE
	size_t openHandles = 0;
	size_t mostOpenHandles = 0;
	// The event of the last overlapped wait, as the driver created it.
	HANDLE lastWaitEvent = nullptr;
};

// Routes the device calls to `devices` (which must outlive the calls) and
// clears the log; returns the table to hand to the driver.
const platform::DeviceCalls *installFakeDevices(FakeDeviceSet *devices);
DeviceCallLog fakeDeviceLog();

// A device whose descriptor reports `vendor` and `product` and that
// answers each written command block from a script: the bytes to read back,
// delivered in pieces of at most `readPiece` bytes.
class ScriptedDevice : public FakeConnection
{
public:
	struct Shared {
		std::mutex mutex;
		uint16_t vendor = 0;
		uint16_t product = 0;
		DWORD readPiece = 0x7FFFFFFF;
		std::vector<uint8_t> written;
		std::vector<std::vector<uint8_t>> replies; // one per command block, in order
		size_t nextReply = 0;
		std::vector<uint8_t> pending;
		// Button wait.
		WaitStart waitStart = WaitStart::Pending;
		int eventResult = kNotYet;
		uint8_t event[8] = {};
	};

	explicit ScriptedDevice(std::shared_ptr<Shared> shared) : shared_(std::move(shared)) {}

	bool write(const uint8_t *data, DWORD length, DWORD *written) override;
	bool read(uint8_t *data, DWORD length, DWORD *got) override;
	bool control(DWORD code, const uint8_t *in, DWORD inLength, uint8_t *out, DWORD outLength,
		     DWORD *returned) override;
	WaitStart beginEventWait() override;
	int pollEvent(uint8_t report[8]) override;

private:
	std::shared_ptr<Shared> shared_;
};

// Scripted devices by number: \\.\usbscan<n>.
class ScriptedDeviceSet : public FakeDeviceSet
{
public:
	std::shared_ptr<ScriptedDevice::Shared> add(int number, uint16_t vendor, uint16_t product);
	std::unique_ptr<FakeConnection> open(const std::string &name) override;

private:
	std::mutex mutex_;
	std::vector<std::pair<std::string, std::shared_ptr<ScriptedDevice::Shared>>> devices_;
};

} // namespace torvane::wintest
