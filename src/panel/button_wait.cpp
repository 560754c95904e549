// SPDX-License-Identifier: MIT
// The push-button wait that stays outstanding between polls.

#include "panel/button_wait.h"

#include <memory>

#include "platform/platform.h"

namespace torvane::panel {

int32_t ButtonReadPending = 0;

namespace {
std::unique_ptr<platform::ButtonWait> buttonWait;
} // namespace

void abandonButtonWait()
{
	ButtonReadPending = 0;
	buttonWait.reset();
}

} // namespace torvane::panel
