// SPDX-License-Identifier: MIT
// Work memory of the image routines: zero-initialised blocks behind one seam.
#pragma once

#include <cstddef>
#include <cstdint>

namespace torvane::imaging {

// Handle value of a routine whose block has been released (null at load).
constexpr intptr_t kReleasedHandle = -1;

// Allocates a zero-initialised block; null when memory is short. A request of
// 0 bytes still yields a block, so that null always means failure.
void *allocateWorkBlock(std::size_t bytes);
void releaseWorkBlock(void *block);

// Replaces the allocator behind allocateWorkBlock, so that tests can watch the
// block sizes and simulate a shortage; null restores the default. A replacement
// must return zero-initialised memory that std::free releases, also for 0 bytes.
using WorkBlockAllocator = void *(*)(std::size_t bytes);
void setWorkBlockAllocator(WorkBlockAllocator allocator);

} // namespace torvane::imaging
