// SPDX-License-Identifier: MIT
// Work memory of the image routines: zero-initialised blocks behind one seam.

#include "imaging/work_memory.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace torvane::imaging {

namespace {

void *zeroedBlock(std::size_t bytes)
{
	return std::calloc(std::max<std::size_t>(bytes, 1), 1);
}

WorkBlockAllocator allocator = zeroedBlock;

// Blocks of the default allocator in use, and those kept for reuse with the
// bytes that were written into them. The image routines run on one thread at
// a time (the front end's calls), like the rest of their state.
struct Block {
	void *memory;
	std::size_t bytes;
	std::size_t written;
};
constexpr std::size_t kKeptBlocks = 6;
std::vector<Block> issued;
std::vector<Block> kept;

} // namespace

void *allocateWorkBlock(std::size_t bytes)
{
	if (allocator != zeroedBlock)
		return allocator(bytes);
	const auto reusable =
		std::find_if(kept.begin(), kept.end(), [bytes](const Block &block) { return block.bytes == bytes; });
	if (reusable != kept.end()) {
		Block block = *reusable;
		kept.erase(reusable);
		std::memset(block.memory, 0, std::min(block.written, block.bytes));
		issued.push_back(block);
		return block.memory;
	}
	void *memory = zeroedBlock(bytes);
	if (memory)
		issued.push_back({ memory, bytes, 0 });
	return memory;
}

void releaseWorkBlock(void *block, std::size_t writtenBytes)
{
	if (!block)
		return;
	const auto own =
		std::find_if(issued.begin(), issued.end(), [block](const Block &b) { return b.memory == block; });
	if (own == issued.end()) {
		std::free(block);
		return;
	}
	const Block released{ own->memory, own->bytes, std::min(writtenBytes, own->bytes) };
	issued.erase(own);
	if (kept.size() < kKeptBlocks)
		kept.push_back(released);
	else
		std::free(block);
}

void releaseKeptWorkBlocks()
{
	for (const Block &block : kept)
		std::free(block.memory);
	kept.clear();
}

void setWorkBlockAllocator(WorkBlockAllocator replacement)
{
	allocator = replacement ? replacement : zeroedBlock;
}

} // namespace torvane::imaging
