// SPDX-License-Identifier: MIT
// CCITT Group 4 (T.6) coding of 1-bit rows, 1 = black, most significant bit
// first: two-dimensional coding against the row above (an all-white row
// above the first), no end-of-line codes, the end-of-block mark at the end.
// Platform-independent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace torvane::twain {

class G4Encoder
{
public:
	explicit G4Encoder(uint32_t pixels);

	// Codes one row of (pixels + 7) / 8 bytes; padding bits are ignored.
	void addRow(const uint8_t *row);
	// The bytes of the block if it ended now (end-of-block mark included).
	size_t finishedSize() const;
	// Ends the block: the end-of-block mark, the last byte padded with 0.
	std::vector<uint8_t> finish();

	// Where the block stands, to take back the rows added after it.
	struct Mark {
		size_t bytes = 0;
		uint32_t bits = 0, bitCount = 0;
		std::vector<uint32_t> reference;
	};
	Mark mark() const;
	void rollBack(const Mark &mark);

	// The most a row can cost, in bytes: every mode step covers at least
	// one pixel and costs at most 14 bits.
	static size_t worstRowBytes(uint32_t pixels) { return size_t(pixels) * 2 + 2; }
	// The end-of-block mark and the last byte's padding.
	static constexpr size_t kEndBytes = 4;

private:
	void put(uint32_t code, uint32_t length);
	void putRun(uint32_t run, bool black);
	void putVertical(int offset);

	uint32_t pixels_;
	std::vector<uint8_t> out_;
	uint32_t bits_ = 0, bitCount_ = 0; // not yet whole bytes, in the low bits
	// Changing elements of the row above, then `pixels_` three times.
	std::vector<uint32_t> reference_;
	std::vector<uint32_t> coding_;
};

// The rows [first, first + count) of `image` (rows of bytesPerLine) as one
// block; what a TIFF strip or a memory transfer's buffer holds.
std::vector<uint8_t> g4Block(const uint8_t *image, uint32_t pixels, uint32_t bytesPerLine, uint32_t first,
			     uint32_t count);

// As many whole rows from `first` as fit, coded, in `capacity` bytes (at
// least one row when its worst case fits). The block and its row count.
struct G4Strip {
	std::vector<uint8_t> bytes;
	uint32_t rows = 0;
};
G4Strip g4Strip(const uint8_t *image, uint32_t pixels, uint32_t bytesPerLine, uint32_t first, uint32_t lines,
		size_t capacity);

} // namespace torvane::twain
