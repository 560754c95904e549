// SPDX-License-Identifier: MIT
// The capability words as tables: each row names an inquiry condition and the
// bits it adds to its word.

#include "ability/capability_words.h"

#include <span>

#include "torvane_protocol/byte_order.h"

namespace torvane::ability {

namespace {

enum class Test : uint8_t {
	Set,	    // (byte & mask) != 0
	Clear,	    // (byte & mask) == 0
	KindIs1,    // scanner kind code 1
	KindIs2Or5, // scanner kind code 2 or 5
	Word0xFFFF, // the 16-bit value at `byte` is 0xFFFF
};

struct Rule {
	uint8_t byte;
	uint8_t mask;
	Test test;
	uint32_t bits;
};

constexpr uint8_t bit(unsigned n)
{
	return static_cast<uint8_t>(1u << n);
}

constexpr uint32_t kStartA = 0x3218000;
constexpr uint32_t kStartB = 0x82418BF7;
constexpr uint32_t kStartC = 0x0080;
constexpr uint32_t kStartD = 0x40000;
constexpr uint32_t kStartE = 0x800;
constexpr uint32_t kWordF = 0xA00;

constexpr Rule kWordA[] = {
	{ 39, bit(7), Test::Clear, 0x5 },
	{ 39, bit(6), Test::Clear, 0x100000 },
	{ 50, bit(7), Test::Set, 0x10000000 },
	{ 50, bit(6), Test::Set, 0x800000 },
	{ 50, bit(3), Test::Clear, 0x4C0000 },
	{ 50, bit(0), Test::Set, 0x4000000 },
	{ 51, bit(7), Test::Set, 0x2 },
	{ 51, bit(6), Test::Set, 0x200 },
	{ 51, bit(5), Test::Set, 0x100 },
	{ 51, bit(4), Test::Set, 0x20000000 },
	{ 51, bit(3), Test::Set, 0x9 },
	{ 52, bit(7), Test::Set, 0x10 },
	{ 52, bit(6), Test::Set, 0x80 },
	{ 52, bit(4), Test::Set, 0x1000 },
	{ 52, bit(3), Test::Set, 0x2000 },
	{ 52, bit(1), Test::Set, 0x4000 },
	{ 93, bit(5), Test::Set, 0x10 },
	{ 87, 0, Test::Word0xFFFF, 0x400 },
};

constexpr Rule kWordB[] = {
	{ 39, bit(7), Test::Clear, 0x1000000 },
	{ 50, bit(7), Test::Set, 0x300000 },
	{ 50, bit(6), Test::Set, 0x78000000 },
	{ 50, bit(4), Test::Set, 0x2000 },
};

constexpr Rule kWordC[] = {
	{ 36, 0, Test::KindIs1, 0x0040 },
	{ 36, 0, Test::KindIs2Or5, 0x0020 },
	{ 128, bit(6), Test::Set, 0x0010 },
};

constexpr Rule kWordD[] = {
	{ 39, bit(4), Test::Set, 0x2 },
	{ 39, bit(0) | bit(1), Test::Set, 0x200 },
	{ 50, bit(4), Test::Set, 0x2 },
	{ 51, bit(1), Test::Set, 0x800 },
	{ 51, bit(0), Test::Set, 0x8 },
	{ 52, bit(0), Test::Set, 0x80 },
	{ 93, bit(7), Test::Set, 0x20 },
	{ 93, bit(3), Test::Set, 0x60 },
	{ 93, bit(2), Test::Set, 0x100 },
	{ 93, bit(1), Test::Set, 0x400 },
	{ 93, bit(0), Test::Set, 0x1000 },
	{ 94, bit(6), Test::Set, 0x10 },
	{ 128, bit(6), Test::Set, 0x800000 },
	{ 128, bit(5), Test::Set, 0x2000000 },
};

constexpr Rule kWordE[] = {
	{ 51, bit(1), Test::Set, 0x1000 },
	{ 52, bit(4), Test::Set, 0x1 },
	{ 52, bit(1), Test::Set, 0x80000000 },
	{ 52, bit(0), Test::Set, 0x4 },
	{ 93, bit(7), Test::Set, 0x8 },
	{ 93, bit(4), Test::Set, 0x430 },
	{ 93, bit(3), Test::Set, 0x40 },
	{ 93, bit(1), Test::Set, 0x10 },
	{ 94, bit(1), Test::Set, 0x100 },
	{ 95, bit(6), Test::Set, 0x4000 },
};

bool holds(const Rule &rule, const uint8_t *inquiry)
{
	const uint8_t value = inquiry[rule.byte];
	switch (rule.test) {
	case Test::Set:
		return (value & rule.mask) != 0;
	case Test::Clear:
		return (value & rule.mask) == 0;
	case Test::KindIs1:
		return scannerKindCode(inquiry) == 1;
	case Test::KindIs2Or5: {
		const uint8_t kind = scannerKindCode(inquiry);
		return kind == 2 || kind == 5;
	}
	case Test::Word0xFFFF:
		return protocol::readBigEndian16(&inquiry[rule.byte]) == 0xFFFF;
	}
	return false;
}

uint32_t applyRules(uint32_t start, std::span<const Rule> rules, const uint8_t *inquiry)
{
	uint32_t word = start;
	for (const Rule &rule : rules) {
		if (holds(rule, inquiry))
			word |= rule.bits;
	}
	return word;
}

} // namespace

uint8_t scannerKindCode(const uint8_t *inquiry)
{
	return (inquiry[36] >> 4) & 0x7;
}

CapabilityWords decodeCapabilityWords(const uint8_t *inquiry)
{
	return CapabilityWords{
		applyRules(kStartA, kWordA, inquiry),
		applyRules(kStartB, kWordB, inquiry),
		static_cast<uint16_t>(applyRules(kStartC, kWordC, inquiry)),
		applyRules(kStartD, kWordD, inquiry),
		applyRules(kStartE, kWordE, inquiry),
		kWordF,
	};
}

} // namespace torvane::ability
