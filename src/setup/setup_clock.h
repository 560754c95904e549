// SPDX-License-Identifier: MIT
// The local time stamped into the parameter log and the raw-data file names.
#pragma once

#include "platform/platform.h"

namespace torvane::setup {

using LocalTimeSource = platform::LocalTime (*)();

// The platform's local time, unless a test has put in a source of its own.
platform::LocalTime setupLocalTime();
// nullptr restores the platform's clock.
void setLocalTimeSource(LocalTimeSource source);

} // namespace torvane::setup
