// SPDX-License-Identifier: MIT
// Device calls answered by scanner models inside the test program.

#include "support/fake_device_calls.h"

#include <algorithm>
#include <cstring>
#include <map>

namespace torvane::wintest {

namespace {

constexpr DWORD kWaitOnDeviceEvent = 0x80002008;

// One made-up handle and, for the button wait, its outstanding request.
struct OpenFile {
	std::unique_ptr<FakeConnection> connection;
	std::mutex waitMutex;
	OVERLAPPED *overlapped = nullptr;
	uint8_t *output = nullptr;
	DWORD outputLength = 0;
	bool outstanding = false;
	bool cancelled = false;
};

std::mutex mutex;
FakeDeviceSet *devices = nullptr;
std::map<HANDLE, std::shared_ptr<OpenFile>> files;
uintptr_t nextHandle = 0x5C000;
DeviceCallLog log;

std::shared_ptr<OpenFile> find(HANDLE handle)
{
	std::lock_guard<std::mutex> guard(mutex);
	auto it = files.find(handle);
	return it == files.end() ? nullptr : it->second;
}

HANDLE WINAPI fakeCreateFile(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES, DWORD disposition,
			     DWORD flags, HANDLE)
{
	FakeDeviceSet *set = nullptr;
	{
		std::lock_guard<std::mutex> guard(mutex);
		set = devices;
	}
	std::unique_ptr<FakeConnection> connection = set && name ? set->open(name) : nullptr;
	std::lock_guard<std::mutex> guard(mutex);
	log.creates.push_back({ name ? name : "", access, share, disposition, flags, connection != nullptr });
	if (!connection) {
		SetLastError(ERROR_FILE_NOT_FOUND);
		return INVALID_HANDLE_VALUE;
	}
	auto file = std::make_shared<OpenFile>();
	file->connection = std::move(connection);
	HANDLE handle = reinterpret_cast<HANDLE>(nextHandle);
	nextHandle += 4;
	files[handle] = file;
	log.openHandles = files.size();
	log.mostOpenHandles = std::max(log.mostOpenHandles, log.openHandles);
	return handle;
}

BOOL WINAPI fakeCloseHandle(HANDLE handle)
{
	std::lock_guard<std::mutex> guard(mutex);
	if (files.erase(handle) == 0) {
		SetLastError(ERROR_INVALID_HANDLE);
		return FALSE;
	}
	++log.closes;
	log.openHandles = files.size();
	return TRUE;
}

BOOL WINAPI fakeReadFile(HANDLE handle, LPVOID buffer, DWORD length, LPDWORD got, LPOVERLAPPED)
{
	auto file = find(handle);
	DWORD count = 0;
	const bool ok = file && file->connection->read(static_cast<uint8_t *>(buffer), length, &count);
	if (got)
		*got = count;
	if (!ok)
		SetLastError(ERROR_GEN_FAILURE);
	return ok ? TRUE : FALSE;
}

BOOL WINAPI fakeWriteFile(HANDLE handle, LPCVOID buffer, DWORD length, LPDWORD written, LPOVERLAPPED)
{
	auto file = find(handle);
	DWORD count = 0;
	const bool ok = file && file->connection->write(static_cast<const uint8_t *>(buffer), length, &count);
	if (written)
		*written = count;
	if (!ok)
		SetLastError(ERROR_GEN_FAILURE);
	return ok ? TRUE : FALSE;
}

// Ends the outstanding wait of `file` with `count` bytes (or a failure), as
// the device driver would: result in the request record, event signalled.
void completeWait(OpenFile &file, int count, const uint8_t report[8])
{
	if (count >= 0) {
		const DWORD copied = std::min<DWORD>(static_cast<DWORD>(count), file.outputLength);
		std::memcpy(file.output, report, copied);
		file.overlapped->Internal = 0;
		file.overlapped->InternalHigh = copied;
	} else {
		file.overlapped->Internal = static_cast<ULONG_PTR>(0xC000009DL); // device not connected
		file.overlapped->InternalHigh = 0;
	}
	file.outstanding = false;
	if (file.overlapped->hEvent)
		SetEvent(file.overlapped->hEvent);
}

BOOL waitResult(OVERLAPPED *overlapped, LPDWORD transferred)
{
	if (transferred)
		*transferred = static_cast<DWORD>(overlapped->InternalHigh);
	switch (overlapped->Internal) {
	case 0:
		return TRUE;
	case 0xC0000120: // cancelled
		SetLastError(ERROR_OPERATION_ABORTED);
		return FALSE;
	default:
		SetLastError(ERROR_DEVICE_NOT_CONNECTED);
		return FALSE;
	}
}

BOOL WINAPI fakeDeviceIoControl(HANDLE handle, DWORD code, LPVOID in, DWORD inLength, LPVOID out, DWORD outLength,
				LPDWORD returned, LPOVERLAPPED overlapped)
{
	auto file = find(handle);
	{
		std::lock_guard<std::mutex> guard(mutex);
		log.controls.push_back({ code, inLength, outLength, in != nullptr && in == out, overlapped != nullptr });
		if (overlapped)
			log.lastWaitEvent = overlapped->hEvent;
	}
	if (!file) {
		SetLastError(ERROR_INVALID_HANDLE);
		return FALSE;
	}
	if (code == kWaitOnDeviceEvent && overlapped) {
		std::lock_guard<std::mutex> guard(file->waitMutex);
		file->overlapped = overlapped;
		file->output = static_cast<uint8_t *>(out);
		file->outputLength = out ? outLength : 0;
		file->cancelled = false;
		switch (file->connection->beginEventWait()) {
		case FakeConnection::WaitStart::Failed:
			SetLastError(ERROR_GEN_FAILURE);
			return FALSE;
		case FakeConnection::WaitStart::Immediate: {
			uint8_t report[8] = {};
			file->outstanding = true;
			completeWait(*file, file->connection->pollEvent(report), report);
			return waitResult(overlapped, returned);
		}
		case FakeConnection::WaitStart::Pending:
			overlapped->Internal = 0x103; // pending
			file->outstanding = true;
			SetLastError(ERROR_IO_PENDING);
			return FALSE;
		}
	}
	DWORD count = 0;
	const bool ok = file->connection->control(code, static_cast<const uint8_t *>(in), inLength,
						  static_cast<uint8_t *>(out), outLength, &count);
	if (returned)
		*returned = count;
	if (!ok)
		SetLastError(ERROR_INVALID_FUNCTION);
	return ok ? TRUE : FALSE;
}

BOOL WINAPI fakeGetOverlappedResult(HANDLE handle, LPOVERLAPPED overlapped, LPDWORD transferred, BOOL wait)
{
	auto file = find(handle);
	if (!file || file->overlapped != overlapped) {
		SetLastError(ERROR_INVALID_PARAMETER);
		return FALSE;
	}
	if (wait) {
		std::lock_guard<std::mutex> guard(mutex);
		++log.waitingResults;
	}
	for (;;) {
		{
			std::lock_guard<std::mutex> guard(file->waitMutex);
			if (file->outstanding) {
				uint8_t report[8] = {};
				const int result = file->connection->pollEvent(report);
				if (result != FakeConnection::kNotYet)
					completeWait(*file, result, report);
				else if (file->cancelled) {
					overlapped->Internal = 0xC0000120;
					overlapped->InternalHigh = 0;
					file->outstanding = false;
					SetEvent(overlapped->hEvent);
				}
			}
			if (!file->outstanding)
				return waitResult(overlapped, transferred);
			if (!wait) {
				SetLastError(ERROR_IO_INCOMPLETE);
				return FALSE;
			}
		}
		Sleep(1);
	}
}

BOOL WINAPI fakeCancelIoEx(HANDLE handle, LPOVERLAPPED overlapped)
{
	auto file = find(handle);
	{
		std::lock_guard<std::mutex> guard(mutex);
		++log.cancels;
	}
	if (!file) {
		SetLastError(ERROR_INVALID_HANDLE);
		return FALSE;
	}
	std::lock_guard<std::mutex> guard(file->waitMutex);
	if (!file->outstanding || (overlapped && overlapped != file->overlapped)) {
		SetLastError(ERROR_NOT_FOUND);
		return FALSE;
	}
	file->cancelled = true;
	return TRUE;
}

const platform::DeviceCalls fakeCalls{ fakeCreateFile, fakeCloseHandle, fakeReadFile, fakeWriteFile,
				       fakeDeviceIoControl, fakeGetOverlappedResult, fakeCancelIoEx };

} // namespace

const platform::DeviceCalls *installFakeDevices(FakeDeviceSet *set)
{
	std::lock_guard<std::mutex> guard(mutex);
	devices = set;
	log = DeviceCallLog{};
	log.openHandles = files.size();
	log.mostOpenHandles = log.openHandles;
	return &fakeCalls;
}

DeviceCallLog fakeDeviceLog()
{
	std::lock_guard<std::mutex> guard(mutex);
	return log;
}

// ---------------------------------------------------------------------------
// Scripted devices

bool ScriptedDevice::write(const uint8_t *data, DWORD length, DWORD *written)
{
	std::lock_guard<std::mutex> guard(shared_->mutex);
	shared_->written.insert(shared_->written.end(), data, data + length);
	// A write while nothing is left to read starts a command; its reply is
	// the next one of the script.
	if (shared_->pending.empty() && shared_->nextReply < shared_->replies.size())
		shared_->pending = shared_->replies[shared_->nextReply++];
	*written = length;
	return true;
}

bool ScriptedDevice::read(uint8_t *data, DWORD length, DWORD *got)
{
	std::lock_guard<std::mutex> guard(shared_->mutex);
	const DWORD count = std::min<DWORD>({ length, shared_->readPiece, static_cast<DWORD>(shared_->pending.size()) });
	std::memcpy(data, shared_->pending.data(), count);
	shared_->pending.erase(shared_->pending.begin(), shared_->pending.begin() + count);
	*got = count;
	return true;
}

bool ScriptedDevice::control(DWORD code, const uint8_t *, DWORD, uint8_t *out, DWORD outLength, DWORD *returned)
{
	std::lock_guard<std::mutex> guard(shared_->mutex);
	*returned = 0;
	if (code == 0x8000202C)
		return true;
	if (code == 0x80002018 && out && outLength >= 8) {
		const uint8_t descriptor[8] = { static_cast<uint8_t>(shared_->vendor), static_cast<uint8_t>(shared_->vendor >> 8),
						static_cast<uint8_t>(shared_->product), static_cast<uint8_t>(shared_->product >> 8),
						0x00, 0x01, 0x09, 0x04 };
		std::memcpy(out, descriptor, sizeof(descriptor));
		*returned = sizeof(descriptor);
		return true;
	}
	return false;
}

FakeConnection::WaitStart ScriptedDevice::beginEventWait()
{
	std::lock_guard<std::mutex> guard(shared_->mutex);
	return shared_->waitStart;
}

int ScriptedDevice::pollEvent(uint8_t report[8])
{
	std::lock_guard<std::mutex> guard(shared_->mutex);
	if (shared_->eventResult > 0)
		std::memcpy(report, shared_->event, std::min(shared_->eventResult, 8));
	return shared_->eventResult;
}

std::shared_ptr<ScriptedDevice::Shared> ScriptedDeviceSet::add(int number, uint16_t vendor, uint16_t product)
{
	auto shared = std::make_shared<ScriptedDevice::Shared>();
	shared->vendor = vendor;
	shared->product = product;
	std::lock_guard<std::mutex> guard(mutex_);
	devices_.emplace_back("\\\\.\\usbscan" + std::to_string(number), shared);
	return shared;
}

std::unique_ptr<FakeConnection> ScriptedDeviceSet::open(const std::string &name)
{
	std::lock_guard<std::mutex> guard(mutex_);
	for (const auto &[deviceName, shared] : devices_)
		if (deviceName == name)
			return std::make_unique<ScriptedDevice>(shared);
	return nullptr;
}

} // namespace torvane::wintest
