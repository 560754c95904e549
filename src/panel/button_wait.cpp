// SPDX-License-Identifier: MIT
// The push-button wait that stays outstanding between polls.

#include "panel/button_wait.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>

#include "driver/driver_state.h"
#include "platform/platform.h"
#include "transport/transport.h"

namespace torvane::panel {

namespace {

std::atomic<uint32_t> pauseMs{ 70 };

// The wait and ButtonReadPending live in the driver state; this and every
// other use of them here runs with its buttonWaitMutex held.
void endWait()
{
	driver::driverState.ButtonReadPending = 0;
	driver::driverState.buttonWait.reset();
}

// Opens the device file for the wait and issues it. 0 (2023) when its event
// could not be created, 0 (156) when the device file cannot be opened: the
// scanner has gone, and a front end waiting for a press must hear so rather
// than wait on for a press that cannot come. A request that fails at once
// is not reported, the next poll tries again.
int startWait()
{
	endWait();
	std::unique_ptr<platform::ButtonWait> wait = platform::openButtonWait(transport::devicePath().c_str());
	if (!wait) {
		driver::setLastError(TORVANE_ERROR_DISCONNECTED);
		return 0;
	}
	switch (wait->start()) {
	case platform::ButtonWait::Start::NoEvent:
		driver::setLastError(TORVANE_ERROR_BUTTON_EVENT);
		return 0;
	case platform::ButtonWait::Start::Failed:
		break;
	case platform::ButtonWait::Start::Pending:
		driver::driverState.ButtonReadPending = 1;
		driver::driverState.buttonWait = std::move(wait);
		break;
	case platform::ButtonWait::Start::Completed:
		// Its result is collected by this poll, then it is closed.
		driver::driverState.buttonWait = std::move(wait);
		break;
	}
	platform::sleepMs(pauseMs.load(std::memory_order_relaxed));
	return 1;
}

} // namespace

void abandonButtonWait()
{
	std::lock_guard<std::mutex> guard(driver::driverState.buttonWaitMutex);
	endWait();
}

int pollButtonWait(uint8_t report[8])
{
	std::lock_guard<std::mutex> guard(driver::driverState.buttonWaitMutex);
	std::memset(report, 0, 8);
	if (!driver::driverState.ButtonReadPending || !driver::driverState.buttonWait) {
		if (!startWait())
			return 0;
		if (!driver::driverState.buttonWait)
			return 1;
	}

	uint8_t delivered[8] = {};
	uint32_t count = 0;
	switch (driver::driverState.buttonWait->poll(delivered, &count)) {
	case platform::ButtonWait::Poll::Delivered:
		std::memcpy(report, delivered, std::min<uint32_t>(count, sizeof(delivered)));
		endWait();
		break;
	case platform::ButtonWait::Poll::Ended:
		// Completed without bytes, or the device went away: a fresh wait
		// at once tells the two apart (a gone device cannot be opened).
		endWait();
		return startWait();
	case platform::ButtonWait::Poll::Pending:
		// Only a wait that reported itself pending stays for the next poll.
		if (!driver::driverState.ButtonReadPending)
			endWait();
		break;
	}
	return 1;
}

uint32_t buttonWaitPauseMs()
{
	return pauseMs.load(std::memory_order_relaxed);
}

void setButtonWaitPauseMs(uint32_t milliseconds)
{
	pauseMs.store(milliseconds, std::memory_order_relaxed);
}

} // namespace torvane::panel
