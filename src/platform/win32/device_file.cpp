// SPDX-License-Identifier: MIT
// Win32: the still-image USB driver's device files \\.\usbscanN, for
// synchronous command exchanges and for the overlapped push-button wait.

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>

#include <windows.h>

#include "platform/platform.h"
#include "platform/win32/device_calls.h"

namespace torvane::platform {

// The thread an interrupt belongs to: its synchronous device I/O is
// cancelled (CancelSynchronousIo) when the interrupt is triggered, and every
// later transfer of that thread fails at once. A forced end of the thread
// comes only after that: TerminateThread can leave the heap lock held.
class IoInterrupt
{
public:
	~IoInterrupt()
	{
		if (thread_)
			CloseHandle(thread_);
	}
	void attachCallingThread()
	{
		std::lock_guard<std::mutex> guard(mutex_);
		if (!thread_)
			DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &thread_, 0, FALSE,
					DUPLICATE_SAME_ACCESS);
	}
	void trigger()
	{
		triggered_.store(true);
		std::lock_guard<std::mutex> guard(mutex_);
		if (thread_)
			CancelSynchronousIo(thread_);
	}
	bool triggered() const { return triggered_.load(); }

private:
	std::mutex mutex_;
	HANDLE thread_ = nullptr;
	std::atomic<bool> triggered_{ false };
};

namespace {

// This thread's reference to its interrupt. A plain pointer, not a
// thread_local shared_ptr: a thread-local variable with a destructor makes
// the C++ runtime pin the DLL in memory, so that a front end's FreeLibrary
// would no longer unload it.
thread_local std::shared_ptr<IoInterrupt> *threadInterrupt = nullptr;

// True when this thread's device I/O has been interrupted.
bool ioInterrupted()
{
	return threadInterrupt && (*threadInterrupt)->triggered();
}

} // namespace

const DeviceCalls &systemDeviceCalls()
{
	static const DeviceCalls calls{ &::CreateFileA, &::CloseHandle, &::ReadFile, &::WriteFile,
					&::DeviceIoControl, &::GetOverlappedResult, &::CancelIoEx };
	return calls;
}

#if defined(TORVANE_DEVICE_HOOK)
namespace {
std::atomic<const DeviceCalls *> installedCalls{ nullptr };
} // namespace

void setDeviceCalls(const DeviceCalls *calls)
{
	installedCalls.store(calls);
}

const DeviceCalls &deviceCalls()
{
	const DeviceCalls *calls = installedCalls.load();
	return calls ? *calls : systemDeviceCalls();
}
#else
const DeviceCalls &deviceCalls()
{
	return systemDeviceCalls();
}
#endif

namespace {

constexpr uint32_t kButtonReportSize = 8;

// Read and write access, shared for reading and writing, an existing device
// only; `flags` 0 for synchronous transfers.
HANDLE openDevice(const DeviceCalls &calls, const char *name, DWORD flags)
{
	if (!name || !*name)
		return INVALID_HANDLE_VALUE;
	return calls.createFile(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
				OPEN_EXISTING, flags, nullptr);
}

class Win32DeviceFile : public DeviceFile
{
public:
	Win32DeviceFile(const DeviceCalls &calls, HANDLE handle) : calls_(calls), handle_(handle) {}
	~Win32DeviceFile() override { calls_.closeHandle(handle_); }

	bool write(const void *data, uint32_t length, uint32_t *written) override
	{
		DWORD count = 0;
		const BOOL ok = !ioInterrupted() && calls_.writeFile(handle_, data, length, &count, nullptr);
		*written = std::min<DWORD>(count, length);
		return ok != FALSE;
	}

	bool read(void *data, uint32_t length, uint32_t *got) override
	{
		DWORD count = 0;
		const BOOL ok = !ioInterrupted() && calls_.readFile(handle_, data, length, &count, nullptr);
		*got = std::min<DWORD>(count, length);
		return ok != FALSE;
	}

	bool control(uint32_t code, const void *in, uint32_t inLength, void *out, uint32_t outLength,
		     uint32_t *returned) override
	{
		DWORD count = 0;
		const BOOL ok = !ioInterrupted() && calls_.deviceIoControl(handle_, code, const_cast<void *>(in),
									   in ? inLength : 0, out, out ? outLength : 0,
									   &count, nullptr);
		if (returned)
			*returned = std::min<DWORD>(count, out ? outLength : 0);
		return ok != FALSE;
	}

private:
	const DeviceCalls &calls_;
	HANDLE handle_;
};

// One overlapped IOCTL_WAIT_ON_DEVICE_EVENT on its own handle, with its own
// manual-reset event. The request record and the report buffer belong to the
// device driver while the wait is outstanding, so they live as long as this
// object, and the object does not go away before the request has ended.
class Win32ButtonWait : public ButtonWait
{
public:
	Win32ButtonWait(const DeviceCalls &calls, HANDLE handle) : calls_(calls), handle_(handle) {}

	~Win32ButtonWait() override
	{
		if (outstanding_) {
			// Cancel the request and let it end before its buffers go.
			DWORD ignored = 0;
			calls_.cancelIo(handle_, &overlapped_);
			calls_.getOverlappedResult(handle_, &overlapped_, &ignored, TRUE);
		}
		if (overlapped_.hEvent)
			CloseHandle(overlapped_.hEvent);
		calls_.closeHandle(handle_);
	}

	Start start() override
	{
		if (overlapped_.hEvent || outstanding_)
			return Start::Failed;
		std::memset(&overlapped_, 0, sizeof(overlapped_));
		// Manual reset, not signalled, unnamed.
		overlapped_.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
		if (!overlapped_.hEvent)
			return Start::NoEvent;

		std::memset(report_, 0, sizeof(report_));
		DWORD count = 0;
		if (calls_.deviceIoControl(handle_, protocol::kIoctlWaitOnDeviceEvent, nullptr, 0, report_, sizeof(report_),
					   &count, &overlapped_)) {
			outstanding_ = true; // completed at once: the poll collects it
			return Start::Completed;
		}
		if (GetLastError() == ERROR_IO_PENDING) {
			outstanding_ = true;
			return Start::Pending;
		}
		return Start::Failed;
	}

	Poll poll(uint8_t report[8], uint32_t *count) override
	{
		*count = 0;
		if (!outstanding_)
			return Poll::Ended;
		DWORD delivered = 0;
		if (!calls_.getOverlappedResult(handle_, &overlapped_, &delivered, FALSE)) {
			if (GetLastError() == ERROR_IO_INCOMPLETE)
				return Poll::Pending;
			outstanding_ = false;
			return Poll::Ended;
		}
		outstanding_ = false;
		if (delivered == 0)
			return Poll::Ended;
		*count = std::min<DWORD>(delivered, kButtonReportSize);
		std::memcpy(report, report_, *count);
		return Poll::Delivered;
	}

private:
	const DeviceCalls &calls_;
	HANDLE handle_;
	OVERLAPPED overlapped_{};
	uint8_t report_[kButtonReportSize] = {};
	bool outstanding_ = false;
};

} // namespace

std::unique_ptr<DeviceFile> openDeviceFile(const char *name)
{
	const DeviceCalls &calls = deviceCalls();
	HANDLE handle = openDevice(calls, name, 0);
	if (handle == INVALID_HANDLE_VALUE)
		return nullptr;
	return std::make_unique<Win32DeviceFile>(calls, handle);
}

bool deviceFilePresent(const char *name)
{
	// Windows has no I/O interrupt of a thread: a plain open tells.
	return openDeviceFile(name) != nullptr;
}

// The device names \\.\usbscan0 .. \\.\usbscan126.
constexpr int kScannerNames = 127;

bool scannerAttached()
{
	// The device files are opened shared: a look takes nothing from the
	// process that scans.
	for (int n = 0; n < kScannerNames; ++n) {
		char name[32];
		std::snprintf(name, sizeof(name), "\\\\.\\usbscan%d", n);
		if (deviceFilePresent(name))
			return true;
	}
	return false;
}

std::unique_ptr<ButtonWait> openButtonWait(const char *name)
{
	const DeviceCalls &calls = deviceCalls();
	HANDLE handle = openDevice(calls, name, FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_SYSTEM);
	if (handle == INVALID_HANDLE_VALUE)
		return nullptr;
	return std::make_unique<Win32ButtonWait>(calls, handle);
}

std::shared_ptr<IoInterrupt> createIoInterrupt()
{
	return std::make_shared<IoInterrupt>();
}

void setThreadIoInterrupt(std::shared_ptr<IoInterrupt> interrupt)
{
	delete threadInterrupt;
	threadInterrupt = nullptr;
	if (interrupt) {
		interrupt->attachCallingThread();
		threadInterrupt = new std::shared_ptr<IoInterrupt>(std::move(interrupt));
	}
}

void triggerIoInterrupt(IoInterrupt &interrupt)
{
	interrupt.trigger();
}

} // namespace torvane::platform
