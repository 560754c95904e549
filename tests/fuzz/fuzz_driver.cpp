// SPDX-License-Identifier: MIT
// The driver attached once per fuzzing process, on a lock of its own.

#include "fuzz_driver.h"

#include <cstdlib>
#include <string>

#include <sys/mman.h>
#include <unistd.h>

#include "driver/driver_state.h"
#include "platform/posix/shared_state.h"

namespace torvane::fuzz {

namespace {

void detachAndRemoveSharedState()
{
	driver::processDetach();
	shm_unlink(platform::sharedStateName().c_str());
}

} // namespace

void attachDriverOnce()
{
	static const bool attached = [] {
		// Never the lock of a real scanner or of another fuzzing process;
		// no configuration file, so nothing is logged.
		setenv("TORVANE_INSTANCE", ("fuzz" + std::to_string(getpid())).c_str(), 1);
		setenv("TORVANE_REGISTRY", "/nonexistent/torvane-fuzz.conf", 1);
		driver::processAttach();
		std::atexit(detachAndRemoveSharedState);
		return true;
	}();
	(void)attached;
}

} // namespace torvane::fuzz
