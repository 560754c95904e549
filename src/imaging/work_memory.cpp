// SPDX-License-Identifier: MIT
// Work memory of the image routines: zero-initialised blocks behind one seam.

#include "imaging/work_memory.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace torvane::imaging {

namespace {

void *zeroedBlock(std::size_t bytes)
{
	return std::calloc(std::max<std::size_t>(bytes, 1), 1);
}

WorkBlockAllocator allocator = zeroedBlock;

// Blocks of the default allocator in use, and those kept for reuse with the
// bytes that were written into them. The image routines run on one thread at
// a time (the front end's calls), like the rest of their state. Plain arrays,
// which outlive every destructor run at exit: a block in use then is still
// found through them, not lost. A block beyond the table is not kept.
struct Block {
	void *memory;
	std::size_t bytes;
	std::size_t written;
};

template<std::size_t kSize>
struct BlockTable {
	Block at[kSize];
	std::size_t count;

	Block *find(bool (*match)(const Block &, const void *), const void *key)
	{
		for (std::size_t i = 0; i < count; ++i) {
			if (match(at[i], key))
				return &at[i];
		}
		return nullptr;
	}
	bool add(const Block &block)
	{
		if (count == kSize)
			return false;
		at[count++] = block;
		return true;
	}
	Block remove(Block *block)
	{
		const Block removed = *block;
		*block = at[--count];
		return removed;
	}
};

BlockTable<32> issued;
BlockTable<6> kept;

bool ofSize(const Block &block, const void *bytes)
{
	return block.bytes == *static_cast<const std::size_t *>(bytes);
}

bool atAddress(const Block &block, const void *memory)
{
	return block.memory == memory;
}

} // namespace

void *allocateWorkBlock(std::size_t bytes)
{
	if (allocator != zeroedBlock)
		return allocator(bytes);
	if (Block *reusable = kept.find(ofSize, &bytes)) {
		const Block block = kept.remove(reusable);
		std::memset(block.memory, 0, std::min(block.written, block.bytes));
		issued.add(block);
		return block.memory;
	}
	void *memory = zeroedBlock(bytes);
	if (memory)
		issued.add({ memory, bytes, 0 });
	return memory;
}

void releaseWorkBlock(void *block, std::size_t writtenBytes)
{
	if (!block)
		return;
	Block *own = issued.find(atAddress, block);
	if (!own) {
		std::free(block);
		return;
	}
	Block released = issued.remove(own);
	released.written = std::min(writtenBytes, released.bytes);
	if (!kept.add(released))
		std::free(block);
}

void releaseKeptWorkBlocks()
{
	for (std::size_t i = 0; i < kept.count; ++i)
		std::free(kept.at[i].memory);
	kept.count = 0;
}

void setWorkBlockAllocator(WorkBlockAllocator replacement)
{
	allocator = replacement ? replacement : zeroedBlock;
}

} // namespace torvane::imaging
