// SPDX-License-Identifier: MIT
// The driver attached once per fuzzing process, on a machine-wide lock of its
// own, with nothing logged; the lock's shared object is removed at exit.
#pragma once

namespace torvane::fuzz {

// Attaches the driver on the first call; later calls do nothing.
void attachDriverOnce();

} // namespace torvane::fuzz
