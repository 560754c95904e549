// SPDX-License-Identifier: MIT
// Win32: files, threads, time, work memory and paths.

#include <cstring>

#include <windows.h>

#include "platform/platform.h"

namespace torvane::platform {

// ---------------------------------------------------------------------------
// Files

namespace {

class Win32File : public File
{
public:
	explicit Win32File(HANDLE handle) : handle_(handle) {}
	~Win32File() override { CloseHandle(handle_); }

	bool write(const void *data, size_t length) override
	{
		const auto *bytes = static_cast<const char *>(data);
		while (length > 0) {
			const DWORD piece = length > 0x40000000u ? 0x40000000u : static_cast<DWORD>(length);
			DWORD written = 0;
			if (!WriteFile(handle_, bytes, piece, &written, nullptr) || written == 0)
				return false;
			bytes += written;
			length -= written;
		}
		return true;
	}

	bool seek(uint64_t offset) override { return move(offset, FILE_BEGIN); }
	bool seekToEnd() override { return move(0, FILE_END); }

private:
	bool move(uint64_t offset, DWORD method)
	{
		LONG high = static_cast<LONG>(offset >> 32);
		const DWORD low = SetFilePointer(handle_, static_cast<LONG>(offset & 0xFFFFFFFFu), &high, method);
		return low != INVALID_SET_FILE_POINTER || GetLastError() == NO_ERROR;
	}

	HANDLE handle_;
};

// A log or dump file is opened only when it is a plain file of its own on a
// disk: the reparse point itself is opened (never what a link points to) and
// refused, as are pipes, devices, folders and files with a second hard link,
// so that a log folder others can write to never redirects or stalls the
// driver. A file to be emptied is truncated only once it has passed.
bool isPlainDiskFile(HANDLE handle)
{
	BY_HANDLE_FILE_INFORMATION info{};
	if (GetFileType(handle) != FILE_TYPE_DISK || !GetFileInformationByHandle(handle, &info))
		return false;
	constexpr DWORD kRefused = FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE;
	return (info.dwFileAttributes & kRefused) == 0 && info.nNumberOfLinks <= 1;
}

// Writers share the file with each other and with readers, so that several
// processes append to one log and a log viewer never stops the driver's log.
std::unique_ptr<File> openWith(const char *path, DWORD access, DWORD disposition, bool truncate = false)
{
	if (!path || !*path)
		return nullptr;
	SetLastError(NO_ERROR);
	HANDLE handle = CreateFileA(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, disposition,
				    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
	if (handle == INVALID_HANDLE_VALUE)
		return nullptr;
	if (!isPlainDiskFile(handle) || (truncate && !SetEndOfFile(handle))) {
		CloseHandle(handle);
		return nullptr;
	}
	return std::make_unique<Win32File>(handle);
}

} // namespace

std::unique_ptr<File> openFileForAppend(const char *path)
{
	return openWith(path, GENERIC_WRITE, OPEN_ALWAYS);
}

std::unique_ptr<File> createFile(const char *path)
{
	return openWith(path, GENERIC_WRITE, OPEN_ALWAYS, true);
}

std::unique_ptr<File> openExistingFile(const char *path)
{
	return openWith(path, GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING);
}

bool deleteFile(const char *path)
{
	return path && DeleteFileA(path) != FALSE;
}

bool fileExists(const char *path)
{
	return path && GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

// ---------------------------------------------------------------------------
// Threads

class Thread
{
public:
	HANDLE handle = nullptr;
	bool ended = false;
};

namespace {

struct ThreadStart {
	ThreadEntry entry;
	void *context;
};

DWORD WINAPI threadMain(LPVOID argument)
{
	auto *start = static_cast<ThreadStart *>(argument);
	const ThreadStart copy = *start;
	delete start;
	copy.entry(copy.context);
	return 0;
}

// After TerminateThread the thread may still be on its way out; it is gone
// when its handle is signalled.
constexpr DWORD kTerminationWaitMs = 5000;

} // namespace

std::unique_ptr<Thread> createThread(ThreadEntry entry, void *context)
{
	auto thread = std::make_unique<Thread>();
	auto *start = new ThreadStart{ entry, context };
	thread->handle = CreateThread(nullptr, 0, threadMain, start, 0, nullptr);
	if (!thread->handle) {
		delete start;
		return nullptr;
	}
	return thread;
}

void raiseThreadPriority()
{
	SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_HIGHEST);
}

bool waitThread(Thread &thread, uint32_t timeoutMs)
{
	if (!thread.ended && WaitForSingleObject(thread.handle, timeoutMs) == WAIT_OBJECT_0)
		thread.ended = true;
	return thread.ended;
}

bool terminateThread(Thread &thread)
{
	if (thread.ended)
		return true;
	// The thread's own exit code is passed on, as it reads at this moment.
	DWORD code = 0;
	GetExitCodeThread(thread.handle, &code);
	if (!TerminateThread(thread.handle, code))
		return false;
	// Only a thread that has really ended no longer touches what the caller
	// is about to free.
	return waitThread(thread, kTerminationWaitMs);
}

void destroyThreadHandle(Thread *thread)
{
	delete thread;
}

void closeThread(std::unique_ptr<Thread> thread)
{
	if (thread && thread->handle)
		CloseHandle(thread->handle);
}

// ---------------------------------------------------------------------------
// Time

uint32_t tickCount()
{
	return GetTickCount();
}

void sleepMs(uint32_t milliseconds)
{
	Sleep(milliseconds);
}

LocalTime localTime()
{
	SYSTEMTIME now{};
	GetLocalTime(&now);
	return LocalTime{ now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond };
}

// ---------------------------------------------------------------------------
// Work memory: movable, zero-initialised global memory, locked for as long as
// the block is in use.

void *allocateWorkMemory(size_t bytes)
{
	HGLOBAL handle = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, bytes ? bytes : 1);
	if (!handle)
		return nullptr;
	void *block = GlobalLock(handle);
	if (!block)
		GlobalFree(handle);
	return block;
}

void freeWorkMemory(void *block)
{
	if (!block)
		return;
	HGLOBAL handle = GlobalHandle(block);
	if (!handle)
		return;
	GlobalUnlock(handle);
	GlobalFree(handle);
}

// Windows has no request that maps fresh private pages in ahead of use; the
// first writes fault them in.
bool prefaultMemory(void *, size_t)
{
	return false;
}

// ---------------------------------------------------------------------------
// Paths

namespace {

constexpr DWORD kPathBytes = 260;

std::string moduleFileName(HMODULE module)
{
	char path[kPathBytes + 1] = {};
	const DWORD length = GetModuleFileNameA(module, path, kPathBytes);
	if (length == 0)
		return {};
	// A path cut at the buffer's end may come without its terminator.
	return std::string(path, length < kPathBytes ? length : kPathBytes);
}

} // namespace

std::string hostProgramPath()
{
	return moduleFileName(nullptr);
}

std::string libraryPath()
{
	// The module that holds this very function: the DLL when the driver is
	// the DLL, the program when a test program links the driver in.
	HMODULE module = nullptr;
	if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
				reinterpret_cast<LPCSTR>(&libraryPath), &module))
		return {};
	return moduleFileName(module);
}

} // namespace torvane::platform
