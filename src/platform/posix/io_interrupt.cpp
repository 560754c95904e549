// SPDX-License-Identifier: MIT
// Interruptible device I/O on POSIX.

#include "platform/posix/io_interrupt.h"

#include "platform/platform.h"

namespace torvane::platform {

namespace {

thread_local std::shared_ptr<IoInterrupt> threadInterrupt;

} // namespace

bool IoInterrupt::add(InterruptibleIo *io)
{
	std::lock_guard<std::mutex> guard(mutex_);
	if (triggered_)
		return false;
	registered_.insert(io);
	return true;
}

void IoInterrupt::remove(InterruptibleIo *io)
{
	std::lock_guard<std::mutex> guard(mutex_);
	registered_.erase(io);
}

void IoInterrupt::trigger()
{
	// Under the lock: a device file cannot go away while it is interrupted.
	std::lock_guard<std::mutex> guard(mutex_);
	triggered_ = true;
	for (InterruptibleIo *io : registered_)
		io->interruptIo();
}

bool IoInterrupt::triggered()
{
	std::lock_guard<std::mutex> guard(mutex_);
	return triggered_;
}

std::shared_ptr<IoInterrupt> currentIoInterrupt()
{
	return threadInterrupt;
}

InterruptRegistration::~InterruptRegistration()
{
	if (interrupt_)
		interrupt_->remove(io_);
}

bool InterruptRegistration::enrol(InterruptibleIo *io)
{
	std::shared_ptr<IoInterrupt> interrupt = threadInterrupt;
	if (!interrupt)
		return true;
	if (!interrupt->add(io))
		return false;
	interrupt_ = std::move(interrupt);
	io_ = io;
	return true;
}

std::shared_ptr<IoInterrupt> createIoInterrupt()
{
	return std::make_shared<IoInterrupt>();
}

void setThreadIoInterrupt(std::shared_ptr<IoInterrupt> interrupt)
{
	threadInterrupt = std::move(interrupt);
}

void triggerIoInterrupt(IoInterrupt &interrupt)
{
	interrupt.trigger();
}

} // namespace torvane::platform
