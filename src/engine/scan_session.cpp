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
{
	std::unique_lock<std::mutex> lock(scanSession.callMutex);
	taken_ = scanSession.callFreed.wait_for(lock, std::chrono::milliseconds(driver::lockWaitMs()),
						[] { return !scanSession.callInside; });
	if (taken_)
		scanSession.callInside = true;
	else
		driver::setLastError(TORVANE_ERROR_BUSY);
}

ScanCallTurn::~ScanCallTurn()
{
	if (!taken_)
		return;
	{
		std::lock_guard<std::mutex> lock(scanSession.callMutex);
		scanSession.callInside = false;
	}
	scanSession.callFreed.notify_one();
}

} // namespace torvane::engine
