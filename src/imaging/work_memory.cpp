// SPDX-License-Identifier: MIT
// Work memory of the image routines: zero-initialised blocks behind one seam.

#include "imaging/work_memory.h"

#include <algorithm>
#include <cstdlib>

namespace torvane::imaging {

namespace {

void *zeroedBlock(std::size_t bytes)
{
	return std::calloc(std::max<std::size_t>(bytes, 1), 1);
}

WorkBlockAllocator allocator = zeroedBlock;

} // namespace

void *allocateWorkBlock(std::size_t bytes)
{
	return allocator(bytes);
}

void releaseWorkBlock(void *block)
{
	std::free(block);
}

void setWorkBlockAllocator(WorkBlockAllocator replacement)
{
	allocator = replacement ? replacement : zeroedBlock;
}

} // namespace torvane::imaging
