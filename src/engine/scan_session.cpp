// SPDX-License-Identifier: MIT
// The one scan session, and the turns at the scan functions.

#include "engine/scan_session.h"

#include <chrono>

#include "driver/device_lock.h"
#include "driver/driver_state.h"

namespace torvane::engine {

namespace {

// Storage whose destructor never runs (see scanSession).
union NeverDestroyed {
	ScanSession session;
	NeverDestroyed() : session() {}
	~NeverDestroyed() {}
};

NeverDestroyed storage;

} // namespace

ScanSession &scanSession = storage.session;

ScanCallTurn::ScanCallTurn()
	: taken_(scanSession.calls.try_lock_for(std::chrono::milliseconds(driver::lockWaitMs())))
{
	if (!taken_)
		driver::setLastError(TORVANE_ERROR_BUSY);
}

ScanCallTurn::~ScanCallTurn()
{
	if (taken_)
		scanSession.calls.unlock();
}

} // namespace torvane::engine
