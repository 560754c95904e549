// SPDX-License-Identifier: MIT
// The one scan session.

#include "engine/scan_session.h"

namespace torvane::engine {

ScanSession scanSession;

} // namespace torvane::engine
