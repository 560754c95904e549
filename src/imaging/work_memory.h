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
// Gives a block back. The default allocator keeps a few for the next request
// of the same size, which then only clears the first `writtenBytes` (all that
// was ever written into the block): a 5 MiB work block of a scan is not
// zeroed (nor faulted in) afresh for every page.
void releaseWorkBlock(void *block, std::size_t writtenBytes = SIZE_MAX);
// Frees the blocks kept for later requests (TerminateDriver).
void releaseKeptWorkBlocks();

// Replaces the allocator behind allocateWorkBlock, so that tests can watch the
// block sizes and simulate a shortage; null restores the default. A replacement
// must return zero-initialised memory that std::free releases, also for 0 bytes.
using WorkBlockAllocator = void *(*)(std::size_t bytes);
void setWorkBlockAllocator(WorkBlockAllocator allocator);

} // namespace torvane::imaging
