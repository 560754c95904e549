// SPDX-License-Identifier: MIT
// POSIX: files, threads, time, work memory and paths.

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>

#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/platform.h"
#include "platform/posix/monotonic_deadline.h"
#include "platform/posix/transfer_all.h"

namespace torvane::platform {

// ---------------------------------------------------------------------------
// Files

namespace {

class PosixFile : public File
{
public:
	explicit PosixFile(int fd) : fd_(fd) {}
	~PosixFile() override { ::close(fd_); }

	bool write(const void *data, size_t length) override
	{
		return transferAll(static_cast<const char *>(data), length,
				   [this](const char *bytes, size_t n) { return ::write(fd_, bytes, n); });
	}
	bool seek(uint64_t offset) override { return lseek(fd_, static_cast<off_t>(offset), SEEK_SET) >= 0; }
	bool seekToEnd() override { return lseek(fd_, 0, SEEK_END) >= 0; }

private:
	int fd_;
};

// A log or dump file is opened only when it is a plain file of its own: a
// symbolic link (SAVEPATH may be a folder other users can write to, and the
// driver may run as root or as saned), a FIFO (whose open would wait for a
// reader for ever), a device or a second hard link of some other file is
// refused. O_NONBLOCK keeps the open itself from waiting; it means nothing
// for the regular file that is then written. The check comes before anything
// is changed: a file to be emptied is truncated only once it has passed.
int openPlainFile(const char *path, int flags)
{
	const int fd = ::open(path, flags | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY, 0666);
	if (fd < 0)
		return -1;
	struct stat info {};
	if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_nlink > 1) {
		::close(fd);
		errno = EPERM;
		return -1;
	}
	return fd;
}

std::unique_ptr<File> openWith(const char *path, int flags, bool truncate = false)
{
	const int fd = openPlainFile(path, flags);
	if (fd < 0)
		return nullptr;
	if (truncate && ::ftruncate(fd, 0) != 0) {
		::close(fd);
		return nullptr;
	}
	return std::make_unique<PosixFile>(fd);
}

} // namespace

std::unique_ptr<File> openFileForAppend(const char *path)
{
	return openWith(path, O_WRONLY | O_CREAT);
}

std::unique_ptr<File> createFile(const char *path)
{
	return openWith(path, O_WRONLY | O_CREAT, true);
}

std::unique_ptr<File> openExistingFile(const char *path)
{
	return openWith(path, O_RDWR);
}

bool deleteFile(const char *path)
{
	return ::unlink(path) == 0;
}

bool fileExists(const char *path)
{
	struct stat info {};
	return ::stat(path, &info) == 0;
}

// ---------------------------------------------------------------------------
// Threads

namespace {

// A thread's end, told to whoever waits for it. pthread_timedjoin_np takes a
// wall-clock deadline, so a clock change during StopScan would cut the wait
// short or stretch it; the waiter here counts on the monotonic clock instead
// and joins only once the thread has said it is done.
struct ThreadEnd {
	ThreadEnd()
	{
		pthread_condattr_t attributes;
		pthread_condattr_init(&attributes);
		pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
		pthread_cond_init(&condition, &attributes);
		pthread_condattr_destroy(&attributes);
	}
	~ThreadEnd()
	{
		pthread_cond_destroy(&condition);
		pthread_mutex_destroy(&mutex);
	}
	ThreadEnd(const ThreadEnd &) = delete;
	ThreadEnd &operator=(const ThreadEnd &) = delete;

	void announce()
	{
		pthread_mutex_lock(&mutex);
		finished = true;
		pthread_cond_broadcast(&condition);
		pthread_mutex_unlock(&mutex);
	}

	bool waitUntil(const timespec &deadline)
	{
		pthread_mutex_lock(&mutex);
		int rc = 0;
		while (!finished && rc != ETIMEDOUT)
			rc = pthread_cond_timedwait(&condition, &mutex, &deadline);
		const bool ended = finished;
		pthread_mutex_unlock(&mutex);
		return ended;
	}

	pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
	pthread_cond_t condition;
	bool finished = false;
};

struct ThreadStart {
	ThreadEntry entry;
	void *context;
	// Shared with the handle: a thread left running (detached) after its
	// handle is gone still has somewhere to announce its end.
	std::shared_ptr<ThreadEnd> end;
};

void *threadMain(void *argument)
{
	std::unique_ptr<ThreadStart> start(static_cast<ThreadStart *>(argument));
	start->entry(start->context);
	start->end->announce();
	return nullptr;
}

} // namespace

class Thread
{
public:
	pthread_t id{};
	bool joined = false;
	std::shared_ptr<ThreadEnd> end = std::make_shared<ThreadEnd>();
};

std::unique_ptr<Thread> createThread(ThreadEntry entry, void *context)
{
	auto thread = std::make_unique<Thread>();
	auto *start = new ThreadStart{ entry, context, thread->end };
	if (pthread_create(&thread->id, nullptr, threadMain, start) != 0) {
		delete start;
		return nullptr;
	}
	return thread;
}

void raiseThreadPriority()
{
	// Raising above the default needs privileges on most systems; a refusal
	// leaves the thread at normal priority, which is harmless.
	sched_param param{};
	param.sched_priority = sched_get_priority_max(SCHED_OTHER);
	pthread_setschedparam(pthread_self(), SCHED_OTHER, &param);
}

bool waitThread(Thread &thread, uint32_t timeoutMs)
{
	if (thread.joined)
		return true;
	if (!thread.end->waitUntil(deadlineAfter(timeoutMs)))
		return false;
	// The thread has announced its end; all that is left is its return.
	pthread_join(thread.id, nullptr);
	thread.joined = true;
	return true;
}

bool terminateThread(Thread &)
{
	return false;
}

void destroyThreadHandle(Thread *thread)
{
	delete thread;
}

void closeThread(std::unique_ptr<Thread> thread)
{
	if (thread && !thread->joined)
		pthread_detach(thread->id);
}

// ---------------------------------------------------------------------------
// Time

uint32_t tickCount()
{
	timespec now{};
	clock_gettime(CLOCK_MONOTONIC, &now);
	const uint64_t ms = static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
	return static_cast<uint32_t>(ms);
}

void sleepMs(uint32_t milliseconds)
{
	timespec request{ static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L };
	while (nanosleep(&request, &request) != 0 && errno == EINTR) {
	}
}

LocalTime localTime()
{
	time_t now = time(nullptr);
	struct tm parts {};
	localtime_r(&now, &parts);
	return LocalTime{ static_cast<uint16_t>(parts.tm_year + 1900), static_cast<uint16_t>(parts.tm_mon + 1),
			  static_cast<uint16_t>(parts.tm_mday), static_cast<uint16_t>(parts.tm_hour),
			  static_cast<uint16_t>(parts.tm_min), static_cast<uint16_t>(parts.tm_sec) };
}

// ---------------------------------------------------------------------------
// Work memory

void *allocateWorkMemory(size_t bytes)
{
	return std::calloc(bytes ? bytes : 1, 1);
}

void freeWorkMemory(void *block)
{
	std::free(block);
}

bool prefaultMemory(void *block, size_t bytes)
{
	// Only the pages wholly inside the block: the pages at its ends may
	// belong to a neighbour, or lie past the end of the heap.
	const auto page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
	const auto start = reinterpret_cast<uintptr_t>(block);
	const uintptr_t first = (start + page - 1) & ~(page - 1);
	const uintptr_t end = (start + bytes) & ~(page - 1);
	if (!block || end <= first)
		return false;
	// Linux 5.14 and later; an older kernel refuses (EINVAL).
	return madvise(reinterpret_cast<void *>(first), end - first, MADV_POPULATE_WRITE) == 0;
}

// ---------------------------------------------------------------------------
// Paths

std::string hostProgramPath()
{
	char path[PATH_MAX];
	ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
	if (n <= 0)
		return {};
	return std::string(path, static_cast<size_t>(n));
}

std::string libraryPath()
{
	Dl_info info{};
	if (dladdr(reinterpret_cast<void *>(&libraryPath), &info) == 0 || !info.dli_fname)
		return {};
	return info.dli_fname;
}

} // namespace torvane::platform
