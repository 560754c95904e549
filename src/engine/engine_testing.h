// SPDX-License-Identifier: MIT
// Test hooks of the scan engine: injected allocation failures and shorter
// waits. Not exported from the library; only tests link against them.
#pragma once

#include <cstdint>
#include <functional>

#include "engine/chunk_ring.h"

namespace torvane::engine::testing {

// Called before each scan buffer or scratch block is allocated, with the
// buffer's kind and (for ring slots) its slot number; returning true makes
// that allocation fail. Called on the front end's thread only.
using AllocationFault = std::function<bool(BufferKind kind, uint32_t index)>;
void setAllocationFault(AllocationFault fault);

// Replaces the 30000 ms limits of the full-ring wait and the data wait.
void setWaitLimits(uint32_t fullRingMs, uint32_t dataMs);

// Back to no faults and the real limits.
void resetHooks();

} // namespace torvane::engine::testing
