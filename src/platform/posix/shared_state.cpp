// SPDX-License-Identifier: MIT
// POSIX: the machine-wide device event, the shared scan-busy flag and the
// exchange lock, all in one POSIX shared-memory object.
//
// The object holds an auto-reset event built from a robust process-shared
// mutex and condition, the scan-busy flag, a robust re-entrant mutex for
// command exchanges, and the list of processes that have the library loaded.
// Robustness: a process that dies while it holds the event (it took the lock
// and never signalled) is noticed by the next waiter, which hands the event
// on; a process that dies inside one of the mutexes leaves it to the next
// locker (EOWNERDEAD).

#include "platform/posix/shared_state.h"
#include "platform/posix/monotonic_deadline.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/platform.h"

namespace torvane::platform {

namespace {

constexpr uint32_t kMagic = 0x54515835; // "TQX5"
constexpr uint32_t kLayoutVersion = 1;
constexpr int kMaxProcesses = 256;

struct SharedSegment {
	std::atomic<uint32_t> magic;
	uint32_t version;
	pthread_mutex_t eventMutex;
	pthread_cond_t eventCondition;
	int32_t signalled;
	pid_t holder;
	int32_t scanBusy;
	pthread_mutex_t exchangeMutex;
	pid_t attached[kMaxProcesses];
};

SharedSegment *segment = nullptr;
int32_t localScanBusy = 0;

bool processAlive(pid_t pid)
{
	return pid > 0 && (kill(pid, 0) == 0 || errno != ESRCH);
}

// Locks a robust mutex; a mutex left by a dead owner is taken over.
void lockRobust(pthread_mutex_t *mutex)
{
	if (pthread_mutex_lock(mutex) == EOWNERDEAD)
		pthread_mutex_consistent(mutex);
}

void initialiseSegment(SharedSegment *s)
{
	pthread_mutexattr_t mutexAttr;
	pthread_mutexattr_init(&mutexAttr);
	pthread_mutexattr_setpshared(&mutexAttr, PTHREAD_PROCESS_SHARED);
	pthread_mutexattr_setrobust(&mutexAttr, PTHREAD_MUTEX_ROBUST);
	pthread_mutex_init(&s->eventMutex, &mutexAttr);
	pthread_mutexattr_settype(&mutexAttr, PTHREAD_MUTEX_RECURSIVE);
	pthread_mutex_init(&s->exchangeMutex, &mutexAttr);
	pthread_mutexattr_destroy(&mutexAttr);

	pthread_condattr_t condAttr;
	pthread_condattr_init(&condAttr);
	pthread_condattr_setpshared(&condAttr, PTHREAD_PROCESS_SHARED);
	pthread_condattr_setclock(&condAttr, CLOCK_MONOTONIC);
	pthread_cond_init(&s->eventCondition, &condAttr);
	pthread_condattr_destroy(&condAttr);

	s->signalled = 1;
	s->holder = 0;
	s->scanBusy = 0;
	std::memset(s->attached, 0, sizeof(s->attached));
	s->version = kLayoutVersion;
	s->magic.store(kMagic, std::memory_order_release);
}

// Maps the segment, creating and initialising it when this process is first.
SharedSegment *mapSegment()
{
	const std::string name = sharedStateName();
	bool created = true;
	int fd = shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL, 0666);
	if (fd < 0 && errno == EEXIST) {
		created = false;
		fd = shm_open(name.c_str(), O_RDWR, 0666);
	}
	if (fd < 0)
		return nullptr;
	// Every user may take the lock, as with the event's null access list.
	if (created)
		fchmod(fd, 0666);
	if (created && ftruncate(fd, sizeof(SharedSegment)) != 0) {
		close(fd);
		return nullptr;
	}
	// A second process may find the object before its creator sized it.
	struct stat info {};
	for (int i = 0; i < 1000; ++i) {
		if (fstat(fd, &info) == 0 && info.st_size >= static_cast<off_t>(sizeof(SharedSegment)))
			break;
		usleep(1000);
	}
	if (info.st_size < static_cast<off_t>(sizeof(SharedSegment))) {
		close(fd);
		return nullptr;
	}
	void *address = mmap(nullptr, sizeof(SharedSegment), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
	close(fd);
	if (address == MAP_FAILED)
		return nullptr;

	auto *s = static_cast<SharedSegment *>(address);
	if (created) {
		initialiseSegment(s);
		return s;
	}
	for (int i = 0; i < 1000 && s->magic.load(std::memory_order_acquire) != kMagic; ++i)
		usleep(1000);
	if (s->magic.load(std::memory_order_acquire) != kMagic || s->version != kLayoutVersion) {
		munmap(address, sizeof(SharedSegment));
		return nullptr;
	}
	return s;
}

// Records this process as a user. The first live user starts the flag at 0
// and the event signalled, as the shared section of a freshly loaded library.
void registerProcess(SharedSegment *s)
{
	lockRobust(&s->eventMutex);
	bool anyAlive = false;
	int freeIndex = -1;
	for (int i = 0; i < kMaxProcesses; ++i) {
		if (s->attached[i] != 0 && !processAlive(s->attached[i]))
			s->attached[i] = 0;
		if (s->attached[i] != 0)
			anyAlive = true;
		else if (freeIndex < 0)
			freeIndex = i;
	}
	if (!anyAlive) {
		s->scanBusy = 0;
		s->signalled = 1;
		s->holder = 0;
	}
	if (freeIndex >= 0)
		s->attached[freeIndex] = getpid();
	pthread_mutex_unlock(&s->eventMutex);
}

void unregisterProcess(SharedSegment *s)
{
	lockRobust(&s->eventMutex);
	for (pid_t &pid : s->attached) {
		if (pid == getpid()) {
			pid = 0;
			break;
		}
	}
	pthread_mutex_unlock(&s->eventMutex);
}

} // namespace

std::string sharedStateName()
{
	// Derived from the event name Global\TQX5800; TORVANE_INSTANCE keeps
	// independent test runs apart.
	std::string name = "/TQX5800";
	if (const char *instance = std::getenv("TORVANE_INSTANCE"); instance && *instance) {
		name += '.';
		for (const char *c = instance; *c; ++c)
			name += (*c == '/') ? '_' : *c;
	}
	return name;
}

bool openDeviceEvent()
{
	if (segment)
		return true;
	segment = mapSegment();
	if (!segment)
		return false;
	registerProcess(segment);
	return true;
}

void closeDeviceEvent()
{
	if (!segment)
		return;
	unregisterProcess(segment);
	munmap(segment, sizeof(SharedSegment));
	segment = nullptr;
}

bool hasDeviceEvent()
{
	return segment != nullptr;
}

WaitResult waitDeviceEvent(uint32_t timeoutMs)
{
	if (!segment)
		return WaitResult::Failed;

	const timespec deadline = deadlineAfter(timeoutMs);
	lockRobust(&segment->eventMutex);
	while (!segment->signalled) {
		// A holder that died without releasing hands the lock on.
		if (segment->holder != 0 && !processAlive(segment->holder)) {
			segment->signalled = 1;
			break;
		}
		timespec now {};
		clock_gettime(CLOCK_MONOTONIC, &now);
		if (!isBefore(now, deadline))
			break;
		// Wake up now and then to look for a dead holder.
		timespec slice = deadlineAfter(100);
		if (isBefore(deadline, slice))
			slice = deadline;
		int rc = pthread_cond_timedwait(&segment->eventCondition, &segment->eventMutex, &slice);
		if (rc == EOWNERDEAD)
			pthread_mutex_consistent(&segment->eventMutex);
	}
	WaitResult result = WaitResult::TimedOut;
	if (segment->signalled) {
		segment->signalled = 0;
		segment->holder = getpid();
		result = WaitResult::Signalled;
	}
	pthread_mutex_unlock(&segment->eventMutex);
	return result;
}

void signalDeviceEvent()
{
	if (!segment)
		return;
	lockRobust(&segment->eventMutex);
	segment->signalled = 1;
	segment->holder = 0;
	pthread_cond_signal(&segment->eventCondition);
	pthread_mutex_unlock(&segment->eventMutex);
}

int32_t *scanBusyFlag()
{
	return segment ? &segment->scanBusy : &localScanBusy;
}

namespace {
// Without a shared segment the exchange lock is at least process-wide.
pthread_mutex_t localExchangeMutex = PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP;
} // namespace

void lockExchange()
{
	if (segment)
		lockRobust(&segment->exchangeMutex);
	else
		pthread_mutex_lock(&localExchangeMutex);
}

void unlockExchange()
{
	if (segment)
		pthread_mutex_unlock(&segment->exchangeMutex);
	else
		pthread_mutex_unlock(&localExchangeMutex);
}

} // namespace torvane::platform
