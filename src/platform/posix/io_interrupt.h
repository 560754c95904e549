// SPDX-License-Identifier: MIT
// Interruptible device I/O on POSIX. There is no forced thread end here, so a
// thread whose device I/O another thread may have to stop sets an interrupt;
// every device file it opens registers with it, and trigger() makes their
// pending and later I/O fail at once.

#pragma once

#include <memory>
#include <mutex>
#include <set>

namespace torvane::platform {

// A device file's way of failing its I/O at once: a socket shut down, a USB
// transfer cancelled. Called from the interrupting thread.
class InterruptibleIo
{
public:
	virtual void interruptIo() = 0;

protected:
	~InterruptibleIo() = default;
};

class IoInterrupt
{
public:
	// Registers a device file; false when the interrupt has already fired.
	bool add(InterruptibleIo *io);
	void remove(InterruptibleIo *io);
	void trigger();
	// True once trigger() has run: a lock wait of the thread ends too.
	bool triggered();

private:
	std::mutex mutex_;
	std::set<InterruptibleIo *> registered_;
	bool triggered_ = false;
};

// The interrupt set by the calling thread, if any.
std::shared_ptr<IoInterrupt> currentIoInterrupt();

// Keeps a device file registered with the opening thread's interrupt for as
// long as the registration lives.
class InterruptRegistration
{
public:
	InterruptRegistration() = default;
	InterruptRegistration(const InterruptRegistration &) = delete;
	InterruptRegistration &operator=(const InterruptRegistration &) = delete;
	~InterruptRegistration();

	// False when the opening thread's interrupt has already fired: the
	// device file must not open.
	bool enrol(InterruptibleIo *io);

private:
	std::shared_ptr<IoInterrupt> interrupt_;
	InterruptibleIo *io_ = nullptr;
};

} // namespace torvane::platform
