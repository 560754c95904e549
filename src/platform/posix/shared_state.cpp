// SPDX-License-Identifier: MIT
// POSIX: the machine-wide device event, the shared scan-busy flag and the
// exchange lock, all in one POSIX shared-memory object.
//
// Liveness. Every process that has the library loaded claims a slot of the
// object: it holds an open-file-description lock on one byte (beyond the end
// of the object) through a close-on-exec descriptor. The kernel drops that
// lock however the process ends (return from main, exit from any thread,
// SIGKILL, a crash) and also when it replaces itself with exec, so "the
// byte is locked" means "that process still runs this library". A slot
// carries a generation, so a record left by a process that has gone never
// matches a later process in the same slot. Pid checks would be fooled both
// by exec (same pid, library gone) and by pid reuse.
//
// The scan-busy flag records the token of the process that set it, so a
// flag left by a process that has gone (killed in a scan, say) is cleared
// by the next look, while the other processes that have the library loaded
// go on; a forked child gives up the description it inherited at once (the
// child handler of pthread_atfork), so it never keeps its parent's claim
// alive, and claims a slot of its own when it first calls in.
//
// Everything lives under one robust mutex that is only held for a few
// instructions; nobody waits while holding it. The device event remembers
// the slot that took it, the exchange lock its owner (slot, thread, depth)
// and a queue of waiters with tickets: a release hands the lock straight to
// the oldest waiter, so a thread that unlocks and locks again at once queues
// behind whoever was waiting (fair turns), while with nobody waiting it takes
// the lock again at once. Waiters wake every few milliseconds to hand on a
// lock whose holder has gone, to see a cancel, and to end at their limit.
//
// The object stays mapped for the life of the process, and detach keeps the
// claim while another thread is inside one of these calls or owns the
// exchange lock: nothing a thread holds is ever unmapped or given up from
// under it, and what it holds is handed on when the process has ended.

#include "platform/posix/shared_state.h"
#include "platform/posix/io_interrupt.h"
#include "platform/posix/monotonic_deadline.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <cstdio>
#include <ctime>

#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "platform/platform.h"

namespace torvane::platform {

namespace {

constexpr uint32_t kMagic = 0x54515835; // "TQX5"
constexpr uint32_t kLayoutVersion = 3;
constexpr uint32_t kMaxProcesses = 256;
constexpr int kMaxWaiters = 256;
// The liveness bytes lie beyond the object: locks need no backing bytes.
constexpr off_t kLivenessBase = 1 << 20;
// How often a waiter looks for a gone holder, a cancel or its limit.
constexpr uint32_t kWaitSliceMs = 10;

// (generation << 32) | slot; 0 is nobody.
using Token = uint64_t;

struct Waiter {
	Token token;
	pid_t thread;
	uint64_t ticket;
};

struct SharedSegment {
	std::atomic<uint32_t> magic;
	uint32_t version;
	pthread_mutex_t mutex;
	// Bumped on every change a waiter may be waiting for; waiters sleep on it
	// as a futex. (A process-shared condition variable is no good here: a
	// waiter killed inside it can leave later signals blocked.)
	std::atomic<uint32_t> changed;
	int32_t signalled;
	Token eventHolder;
	int32_t scanBusy;
	Token scanBusyOwner;
	Token exchangeOwner;
	pid_t exchangeThread;
	uint32_t exchangeDepth;
	uint64_t nextTicket;
	Waiter waiters[kMaxWaiters];
	uint32_t generation[kMaxProcesses];
};

// This process's view: the mapping (never unmapped: see closeDeviceEvent),
// whether the library is attached, the descriptor holding the liveness lock,
// its token and the pid it was claimed for (a forked child claims its own).
SharedSegment *segment = nullptr;
// The object's name, kept without the heap: it outlives every destructor.
char segmentName[256] = {};
std::atomic<bool> attached{ false };
int segmentFd = -1;
Token ownToken = 0;
pid_t tokenPid = 0;
std::atomic<int> callsInside{ 0 };
std::atomic<int> exchangesOwned{ 0 };
int32_t localScanBusy = 0;
// DoCancel bumps it; a wait that sees it change ends.
std::atomic<uint32_t> cancelEpoch{ 0 };

pid_t currentThreadId()
{
	return static_cast<pid_t>(syscall(SYS_gettid));
}

uint32_t slotOf(Token token)
{
	return static_cast<uint32_t>(token & 0xFFFFFFFFu);
}

flock livenessRange(uint32_t slot, short type)
{
	flock range{};
	range.l_type = type;
	range.l_whence = SEEK_SET;
	range.l_start = kLivenessBase + static_cast<off_t>(slot);
	range.l_len = 1;
	return range;
}

// True when some other open description holds the slot's byte.
bool slotHeldElsewhere(uint32_t slot)
{
	flock range = livenessRange(slot, F_WRLCK);
	if (fcntl(segmentFd, F_OFD_GETLK, &range) != 0)
		return true; // cannot tell: never take a lock away on a guess
	return range.l_type != F_UNLCK;
}

bool tokenAlive(Token token)
{
	if (token == 0)
		return false;
	const uint32_t slot = slotOf(token);
	if (slot >= kMaxProcesses || segment->generation[slot] != static_cast<uint32_t>(token >> 32))
		return false;
	return token == ownToken || slotHeldElsewhere(slot);
}

// Locks the state mutex; a mutex left by a dead owner is taken over.
void lockState()
{
	if (pthread_mutex_lock(&segment->mutex) == EOWNERDEAD)
		pthread_mutex_consistent(&segment->mutex);
}

void unlockState()
{
	pthread_mutex_unlock(&segment->mutex);
}

void initialiseSegment(SharedSegment *s)
{
	pthread_mutexattr_t mutexAttr;
	pthread_mutexattr_init(&mutexAttr);
	pthread_mutexattr_setpshared(&mutexAttr, PTHREAD_PROCESS_SHARED);
	pthread_mutexattr_setrobust(&mutexAttr, PTHREAD_MUTEX_ROBUST);
	pthread_mutex_init(&s->mutex, &mutexAttr);
	pthread_mutexattr_destroy(&mutexAttr);

	s->signalled = 1;
	s->version = kLayoutVersion;
	s->magic.store(kMagic, std::memory_order_release);
}

// Maps the object, creating and initialising it when this process is first.
// The descriptor returned stays open: it carries the liveness lock.
SharedSegment *mapSegment(int *fdOut)
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
	void *address = MAP_FAILED;
	if (info.st_size >= static_cast<off_t>(sizeof(SharedSegment)))
		address = mmap(nullptr, sizeof(SharedSegment), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
	if (address == MAP_FAILED) {
		close(fd);
		return nullptr;
	}
	auto *s = static_cast<SharedSegment *>(address);
	if (created)
		initialiseSegment(s);
	for (int i = 0; i < 1000 && s->magic.load(std::memory_order_acquire) != kMagic; ++i)
		usleep(1000);
	// The mapping holds on to the description it was made from, and so would
	// a forked child's copy of the mapping, with any lock on it: the liveness
	// lock goes on a description of its own, which the child gives up.
	const int lockFd = shm_open(name.c_str(), O_RDWR, 0666);
	close(fd);
	if (lockFd < 0 || s->magic.load(std::memory_order_acquire) != kMagic || s->version != kLayoutVersion) {
		munmap(address, sizeof(SharedSegment));
		if (lockFd >= 0)
			close(lockFd);
		return nullptr;
	}
	*fdOut = lockFd;
	return s;
}

// Claims a free slot under the state mutex. The first live user of the
// object starts the flag at 0 and both locks free, as a freshly loaded
// library's shared section would.
void claimSlot()
{
	lockState();
	bool anyAlive = false;
	uint32_t freeSlot = kMaxProcesses;
	for (uint32_t slot = 0; slot < kMaxProcesses; ++slot) {
		if (slotHeldElsewhere(slot))
			anyAlive = true;
		else if (freeSlot == kMaxProcesses)
			freeSlot = slot;
	}
	if (!anyAlive) {
		segment->scanBusy = 0;
		segment->scanBusyOwner = 0;
		segment->signalled = 1;
		segment->eventHolder = 0;
		segment->exchangeOwner = 0;
		std::memset(segment->waiters, 0, sizeof(segment->waiters));
	}
	ownToken = 0;
	if (freeSlot < kMaxProcesses) {
		flock range = livenessRange(freeSlot, F_WRLCK);
		if (fcntl(segmentFd, F_OFD_SETLK, &range) == 0) {
			uint32_t &generation = segment->generation[freeSlot];
			generation = generation + 1 == 0 ? 1 : generation + 1;
			ownToken = (static_cast<Token>(generation) << 32) | freeSlot;
		}
	}
	tokenPid = getpid();
	unlockState();
}

// A forked child shares its parent's descriptor (and so its liveness lock):
// it opens a description of its own and claims a slot for itself.
void claimAfterFork()
{
	const std::string name = sharedStateName();
	const int fd = shm_open(name.c_str(), O_RDWR, 0666);
	if (fd < 0)
		return;
	if (segmentFd >= 0)
		close(segmentFd);
	segmentFd = fd;
	claimSlot();
}

// The child handler of pthread_atfork: the inherited descriptor would keep
// the parent's slot (and so whatever the parent holds) alive for as long as
// the child runs, even after the parent has ended. Only close() here: a
// child of a threaded process may call nothing else before its exec.
void dropInheritedClaim()
{
	if (segmentFd >= 0)
		close(segmentFd);
	segmentFd = -1;
	ownToken = 0;
}

void watchForks()
{
	static std::atomic<bool> registered{ false };
	if (!registered.exchange(true))
		pthread_atfork(nullptr, nullptr, dropInheritedClaim);
}

// Keeps the mapping in place while a thread uses it (see detach).
class Inside
{
public:
	Inside()
	{
		callsInside.fetch_add(1);
		attached_ = attached.load();
		if (attached_ && tokenPid != getpid())
			claimAfterFork();
	}
	~Inside() { callsInside.fetch_sub(1); }
	bool usable() const { return attached_ && ownToken != 0; }

private:
	bool attached_;
};

// Why a wait ends early: a cancel (DoCancel) since it began, or the
// interrupt of this thread's device I/O (StopScan ending the acquisition).
bool waitInterrupted(uint32_t epochAtStart)
{
	if (cancelEpoch.load() != epochAtStart)
		return true;
	const std::shared_ptr<IoInterrupt> interrupt = currentIoInterrupt();
	return interrupt && interrupt->triggered();
}

void announceChange()
{
	segment->changed.fetch_add(1);
	syscall(SYS_futex, reinterpret_cast<uint32_t *>(&segment->changed), FUTEX_WAKE, INT32_MAX, nullptr, nullptr, 0);
}

// One slice of a wait: leaves the state mutex, sleeps until a change or a
// few milliseconds, takes the mutex again. False when the limit is past.
bool waitSlice(const timespec &deadline)
{
	timespec now{};
	clock_gettime(CLOCK_MONOTONIC, &now);
	if (!isBefore(now, deadline))
		return false;
	long remainingNs = (deadline.tv_sec - now.tv_sec) * 1000000000L + (deadline.tv_nsec - now.tv_nsec);
	if (remainingNs > kWaitSliceMs * 1000000L)
		remainingNs = kWaitSliceMs * 1000000L;
	const timespec slice{ 0, remainingNs };
	const uint32_t seen = segment->changed.load();
	unlockState();
	syscall(SYS_futex, reinterpret_cast<uint32_t *>(&segment->changed), FUTEX_WAIT, seen, &slice, nullptr, 0);
	lockState();
	return true;
}

// True once `*next` is past, and moves it on by kGiveUpLookMs.
bool lookAgainDue(timespec *next)
{
	timespec now{};
	clock_gettime(CLOCK_MONOTONIC, &now);
	if (isBefore(now, *next))
		return false;
	*next = deadlineAfter(kGiveUpLookMs);
	return true;
}

// A wait's question, asked with the state mutex let go: the answer may take
// a look at the device files, which must not hold up the other processes.
bool askedOutsideTheState(bool (*question)())
{
	unlockState();
	const bool answer = question();
	lockState();
	return answer;
}

// Exchange lock, under the state mutex: drops waiters whose process has
// gone, and hands a free lock (or one whose owner has gone) to the oldest
// waiter.
void handOnExchange()
{
	if (segment->exchangeOwner != 0 && !tokenAlive(segment->exchangeOwner))
		segment->exchangeOwner = 0;
	if (segment->exchangeOwner != 0)
		return;
	Waiter *oldest = nullptr;
	for (Waiter &waiter : segment->waiters) {
		if (waiter.token == 0)
			continue;
		if (!tokenAlive(waiter.token)) {
			waiter = {};
			continue;
		}
		if (!oldest || waiter.ticket < oldest->ticket)
			oldest = &waiter;
	}
	if (!oldest)
		return;
	segment->exchangeOwner = oldest->token;
	segment->exchangeThread = oldest->thread;
	segment->exchangeDepth = 1;
	*oldest = {};
	announceChange();
}

bool ownsExchange(pid_t thread)
{
	return segment->exchangeOwner == ownToken && segment->exchangeThread == thread;
}

Waiter *enqueue(pid_t thread)
{
	for (Waiter &waiter : segment->waiters) {
		if (waiter.token == 0) {
			waiter = { ownToken, thread, segment->nextTicket++ };
			return &waiter;
		}
	}
	return nullptr; // a full queue: this caller waits for a free lock
}

LockResult lockSharedExchange(uint32_t timeoutMs)
{
	const pid_t thread = currentThreadId();
	const uint32_t epoch = cancelEpoch.load();
	const timespec deadline = deadlineAfter(timeoutMs);
	lockState();
	if (ownsExchange(thread)) {
		++segment->exchangeDepth;
		unlockState();
		return LockResult::Taken;
	}
	Waiter *queued = enqueue(thread);
	LockResult result = LockResult::TimedOut;
	for (;;) {
		if (!queued && segment->exchangeOwner == 0 && ownToken != 0) {
			segment->exchangeOwner = ownToken;
			segment->exchangeThread = thread;
			segment->exchangeDepth = 1;
		}
		handOnExchange();
		if (ownsExchange(thread)) {
			result = LockResult::Taken;
			break;
		}
		if (waitInterrupted(epoch)) {
			result = LockResult::Cancelled;
			break;
		}
		if (!waitSlice(deadline))
			break;
		if (queued && (queued->token != ownToken || queued->thread != thread))
			queued = nullptr; // handed the lock, or dropped as gone
	}
	if (queued && queued->token == ownToken && queued->thread == thread)
		*queued = {};
	unlockState();
	return result;
}

void unlockSharedExchange()
{
	lockState();
	if (ownsExchange(currentThreadId()) && --segment->exchangeDepth == 0) {
		segment->exchangeOwner = 0;
		handOnExchange();
	}
	unlockState();
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
	if (attached.load())
		return true;
	const std::string name = sharedStateName();
	if (!segment || name != segmentName || name.size() >= sizeof(segmentName)) {
		int fd = -1;
		SharedSegment *mapped = mapSegment(&fd);
		if (!mapped)
			return false;
		if (segmentFd >= 0)
			close(segmentFd);
		watchForks();
		segment = mapped;
		std::snprintf(segmentName, sizeof(segmentName), "%s", name.c_str());
		segmentFd = fd;
		claimSlot();
	} else if (segmentFd < 0 || tokenPid != getpid()) {
		const int fd = shm_open(name.c_str(), O_RDWR, 0666);
		if (fd < 0)
			return false;
		if (segmentFd >= 0)
			close(segmentFd);
		segmentFd = fd;
		claimSlot();
	}
	attached.store(true);
	return true;
}

void closeDeviceEvent()
{
	if (!attached.exchange(false))
		return;
	// The mapping is never taken away: a thread of this process may still
	// own the exchange lock or be about to leave a call, and the flag may be
	// read by a scan that goes on. With another thread still inside a call or
	// owning the exchange lock the claim is kept too: it ends with the
	// process, and only then is what that thread holds handed on.
	if (callsInside.load() != 0 || exchangesOwned.load() != 0)
		return;
	close(segmentFd); // drops the liveness lock: the slot is free
	segmentFd = -1;
	ownToken = 0;
}

bool hasDeviceEvent()
{
	return attached.load();
}

WaitResult waitDeviceEvent(uint32_t timeoutMs, bool (*giveUp)())
{
	Inside inside;
	if (!inside.usable())
		return WaitResult::Failed;

	const uint32_t epoch = cancelEpoch.load();
	const timespec deadline = deadlineAfter(timeoutMs);
	timespec nextLook = deadlineAfter(kGiveUpLookMs);
	lockState();
	WaitResult result = WaitResult::TimedOut;
	for (;;) {
		// A holder whose process has gone hands the lock on.
		if (!segment->signalled && !tokenAlive(segment->eventHolder))
			segment->signalled = 1;
		if (segment->signalled) {
			segment->signalled = 0;
			segment->eventHolder = ownToken;
			result = WaitResult::Signalled;
			break;
		}
		if (waitInterrupted(epoch)) {
			result = WaitResult::Cancelled;
			break;
		}
		if (!waitSlice(deadline))
			break;
		if (giveUp && lookAgainDue(&nextLook) && askedOutsideTheState(giveUp)) {
			result = WaitResult::GaveUp;
			break;
		}
	}
	unlockState();
	return result;
}

void signalDeviceEvent()
{
	Inside inside;
	if (!inside.usable())
		return;
	lockState();
	segment->signalled = 1;
	segment->eventHolder = 0;
	announceChange();
	unlockState();
}

int32_t *scanBusyFlag()
{
	return attached.load() ? &segment->scanBusy : &localScanBusy;
}

namespace {

std::atomic_ref<int32_t> flagOf(int32_t &flag)
{
	return std::atomic_ref<int32_t>(flag);
}

// Under the state mutex: the owner of the shared flag, clearing a flag
// whose owner's process has gone.
BusyOwner sharedBusyOwner()
{
	if (flagOf(segment->scanBusy).load() == 0)
		return BusyOwner::Nobody;
	const Token owner = segment->scanBusyOwner;
	if (owner != 0 && owner == ownToken)
		return BusyOwner::ThisProcess;
	if (owner != 0 && !tokenAlive(owner)) {
		flagOf(segment->scanBusy).store(0);
		segment->scanBusyOwner = 0;
		announceChange();
		return BusyOwner::Nobody;
	}
	return BusyOwner::OtherProcess;
}

void setSharedBusy(int32_t value)
{
	flagOf(segment->scanBusy).store(value);
	segment->scanBusyOwner = value != 0 ? ownToken : 0;
	announceChange();
}

BusyOwner localBusyOwner()
{
	return flagOf(localScanBusy).load() != 0 ? BusyOwner::ThisProcess : BusyOwner::Nobody;
}

} // namespace

BusyOwner scanBusyOwner()
{
	Inside inside;
	if (!inside.usable())
		return attached.load() && flagOf(segment->scanBusy).load() != 0 ? BusyOwner::OtherProcess
										: localBusyOwner();
	lockState();
	const BusyOwner owner = sharedBusyOwner();
	unlockState();
	return owner;
}

int32_t exchangeScanBusyFlag(int32_t value)
{
	Inside inside;
	if (!inside.usable())
		return flagOf(*scanBusyFlag()).exchange(value);
	lockState();
	const int32_t old = flagOf(segment->scanBusy).load();
	setSharedBusy(value);
	unlockState();
	return old;
}

bool claimScanBusyFlag()
{
	Inside inside;
	if (!inside.usable()) {
		int32_t clear = 0;
		return flagOf(*scanBusyFlag()).compare_exchange_strong(clear, 1) || !attached.load();
	}
	lockState();
	const bool free = sharedBusyOwner() != BusyOwner::OtherProcess;
	if (free)
		setSharedBusy(1);
	unlockState();
	return free;
}

namespace {
// Without a shared object the exchange lock is at least process-wide.
pthread_mutex_t localExchangeMutex = PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP;
thread_local int localDepth = 0;

// Tries the local lock until the monotonic limit. (pthread_mutex_clocklock
// would do it in one call, but thread checkers do not follow it, and a
// wall-clock deadline would move with the clock.)
bool lockLocalExchange(uint32_t timeoutMs)
{
	const timespec deadline = deadlineAfter(timeoutMs);
	for (;;) {
		if (pthread_mutex_trylock(&localExchangeMutex) == 0)
			return true;
		timespec now{};
		clock_gettime(CLOCK_MONOTONIC, &now);
		if (!isBefore(now, deadline))
			return false;
		const timespec nap{ 0, 1000000 };
		nanosleep(&nap, nullptr);
	}
}
} // namespace

LockResult lockExchange(uint32_t timeoutMs)
{
	Inside inside;
	if (!inside.usable()) {
		if (!lockLocalExchange(timeoutMs))
			return LockResult::TimedOut;
		++localDepth;
		return LockResult::Taken;
	}
	const LockResult result = lockSharedExchange(timeoutMs);
	if (result == LockResult::Taken)
		exchangesOwned.fetch_add(1);
	return result;
}

void unlockExchange()
{
	if (localDepth > 0) {
		--localDepth;
		pthread_mutex_unlock(&localExchangeMutex);
		return;
	}
	Inside inside;
	if (!inside.usable())
		return;
	unlockSharedExchange();
	exchangesOwned.fetch_sub(1);
}

void cancelLockWaits()
{
	// Lock-free: DoCancel may run in a signal handler.
	cancelEpoch.fetch_add(1);
}

} // namespace torvane::platform
