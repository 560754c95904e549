// SPDX-License-Identifier: MIT
// InitialButton and ReadPushButton: the scanner's push buttons.
#pragma once

#include "torvane/torvane.h"

namespace torvane::panel {

// Clears the record and modelInquiry, then under the device lock runs
// INQUIRY into modelInquiry and fills the record from it. The result is the
// INQUIRY's (0 with 162 when the lock is refused).
int readButtonSetup(ButtonSetup &setup);

// Clears the report, then under the device lock polls the button wait and
// rewrites what it delivered. 1 whether or not a button was pressed; 0 when
// the lock is refused (162) or the wait's event could not be created (2023).
int readPushButton(ButtonReport &report);

} // namespace torvane::panel
