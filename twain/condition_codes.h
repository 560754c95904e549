// SPDX-License-Identifier: MIT
// The one table from the driver's error codes to TWAIN condition codes.
#pragma once

#include <cstdint>

#include "twain/twain_protocol.h"

namespace torvane::twain {

TW_UINT16 conditionCodeOf(int32_t driverError);

} // namespace torvane::twain
