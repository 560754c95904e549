// SPDX-License-Identifier: MIT
// POSIX: a forked child gives up the device connections of its parent.
//
// The child handler of pthread_atfork runs in the child of a process that
// may have other threads: only async-signal-safe calls here (open, dup2,
// close, readlink, the getdents64 system call), and no memory allocation.

#include "platform/posix/fork_guard.h"

#include <atomic>
#include <cstring>

#include <fcntl.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace torvane::platform {

namespace {

constexpr int kMaxConnections = 64;
// fd + 1 of each registered connection; 0 is a free entry.
std::atomic<int> connections[kMaxConnections] = {};
std::atomic<int> usbDevicesOpen{ 0 };

void pointAtNull(int fd, int null)
{
	if (null >= 0 && fd != null)
		dup2(null, fd);
}

bool isUsbDevice(int dir, const char *name)
{
	char target[64] = {};
	const ssize_t length = readlinkat(dir, name, target, sizeof(target) - 1);
	return length > 0 && std::strncmp(target, "/dev/bus/usb/", 13) == 0;
}

int numberOf(const char *name)
{
	int number = 0;
	for (const char *c = name; *c; ++c) {
		if (*c < '0' || *c > '9')
			return -1;
		number = number * 10 + (*c - '0');
	}
	return *name ? number : -1;
}

// The entries of /proc/self/fd, read with the raw system call (readdir may
// allocate).
void giveUpUsbDevices(int null)
{
	const int dir = open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	if (dir < 0)
		return;
	alignas(8) char buffer[4096];
	for (;;) {
		const long got = syscall(SYS_getdents64, dir, buffer, sizeof(buffer));
		if (got <= 0)
			break;
		for (long at = 0; at < got;) {
			struct Entry {
				uint64_t inode;
				int64_t offset;
				unsigned short length;
				unsigned char type;
				char name[1];
			};
			const auto *entry = reinterpret_cast<const Entry *>(buffer + at);
			const int fd = numberOf(entry->name);
			if (fd >= 0 && fd != dir && fd != null && isUsbDevice(dir, entry->name))
				pointAtNull(fd, null);
			at += entry->length;
		}
	}
	close(dir);
}

void giveUpInheritedDevices()
{
	const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
	for (std::atomic<int> &entry : connections) {
		const int registered = entry.load();
		if (registered > 0)
			pointAtNull(registered - 1, null);
	}
	if (usbDevicesOpen.load() > 0)
		giveUpUsbDevices(null);
	if (null >= 0)
		close(null);
}

void watchForks()
{
	static std::atomic<bool> registered{ false };
	if (!registered.exchange(true))
		pthread_atfork(nullptr, nullptr, giveUpInheritedDevices);
}

} // namespace

void registerDeviceDescriptor(int fd)
{
	watchForks();
	for (std::atomic<int> &entry : connections) {
		int free = 0;
		if (entry.compare_exchange_strong(free, fd + 1))
			return;
	}
}

void unregisterDeviceDescriptor(int fd)
{
	for (std::atomic<int> &entry : connections) {
		int registered = fd + 1;
		if (entry.compare_exchange_strong(registered, 0))
			return;
	}
}

void usbDeviceOpened()
{
	watchForks();
	usbDevicesOpen.fetch_add(1);
}

void usbDeviceClosed()
{
	usbDevicesOpen.fetch_sub(1);
}

} // namespace torvane::platform
