// SPDX-License-Identifier: MIT
// Fresh scan buffers mapped in ahead of use.

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <sys/mman.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/platform.h"

using namespace torvane;

namespace {

// How many of the whole pages inside [block, block + bytes) are resident.
size_t residentPages(const uint8_t *block, size_t bytes, size_t &pages)
{
	const auto page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
	const uintptr_t first = (reinterpret_cast<uintptr_t>(block) + page - 1) & ~(page - 1);
	const uintptr_t end = (reinterpret_cast<uintptr_t>(block) + bytes) & ~(page - 1);
	pages = (end - first) / page;
	std::vector<unsigned char> resident(pages);
	if (mincore(reinterpret_cast<void *>(first), end - first, resident.data()) != 0)
		return 0;
	size_t count = 0;
	for (unsigned char flags : resident)
		count += flags & 1;
	return count;
}

TEST(Memory, AFreshBlockIsMappedInWholeAndKeepsItsBytes)
{
	// Large enough for a mapping of its own: none of its pages is touched yet.
	const size_t bytes = 8u << 20;
	auto *block = static_cast<uint8_t *>(std::malloc(bytes));
	ASSERT_NE(block, nullptr);
	size_t pages = 0;
	if (residentPages(block, bytes, pages) == pages)
		GTEST_SKIP() << "the allocator handed out pages already in use";
	// The first and the last page hold bytes of the caller's that must stay.
	std::memset(block, 0x5A, 64);
	std::memset(block + bytes - 64, 0xA5, 64);
	if (!platform::prefaultMemory(block, bytes))
		GTEST_SKIP() << "this kernel cannot populate pages ahead (before Linux 5.14)";
	EXPECT_EQ(residentPages(block, bytes, pages), pages);
	EXPECT_EQ(block[0], 0x5A);
	EXPECT_EQ(block[63], 0x5A);
	EXPECT_EQ(block[bytes - 64], 0xA5);
	EXPECT_EQ(block[bytes - 1], 0xA5);
	std::free(block);

	// A block with no whole page inside: nothing to do.
	uint8_t small[64];
	EXPECT_FALSE(platform::prefaultMemory(small, sizeof(small)));
	EXPECT_FALSE(platform::prefaultMemory(nullptr, bytes));
}

} // namespace
