// SPDX-License-Identifier: MIT
// CCITT Group 4 coding: the mode codes and the run-length code tables, as
// bit strings a reader compares row by row with the published tables.

#include "twain/g4_encoder.h"

#include <algorithm>

namespace torvane::twain {

namespace {

struct Code {
	uint16_t bits;
	uint8_t length;
};

constexpr Code code(const char *text)
{
	Code result{ 0, 0 };
	for (; *text; ++text, ++result.length)
		result.bits = static_cast<uint16_t>(result.bits << 1 | (*text == '1'));
	return result;
}

// Terminating codes, runs 0 to 63.
constexpr Code kWhiteRun[64] = {
	code("00110101"),
	code("000111"),
	code("0111"),
	code("1000"),
	code("1011"),
	code("1100"),
	code("1110"),
	code("1111"),
	code("10011"),
	code("10100"),
	code("00111"),
	code("01000"),
	code("001000"),
	code("000011"),
	code("110100"),
	code("110101"),
	code("101010"),
	code("101011"),
	code("0100111"),
	code("0001100"),
	code("0001000"),
	code("0010111"),
	code("0000011"),
	code("0000100"),
	code("0101000"),
	code("0101011"),
	code("0010011"),
	code("0100100"),
	code("0011000"),
	code("00000010"),
	code("00000011"),
	code("00011010"),
	code("00011011"),
	code("00010010"),
	code("00010011"),
	code("00010100"),
	code("00010101"),
	code("00010110"),
	code("00010111"),
	code("00101000"),
	code("00101001"),
	code("00101010"),
	code("00101011"),
	code("00101100"),
	code("00101101"),
	code("00000100"),
	code("00000101"),
	code("00001010"),
	code("00001011"),
	code("01010010"),
	code("01010011"),
	code("01010100"),
	code("01010101"),
	code("00100100"),
	code("00100101"),
	code("01011000"),
	code("01011001"),
	code("01011010"),
	code("01011011"),
	code("01001010"),
	code("01001011"),
	code("00110010"),
	code("00110011"),
	code("00110100"),
};
constexpr Code kBlackRun[64] = {
	code("0000110111"),
	code("010"),
	code("11"),
	code("10"),
	code("011"),
	code("0011"),
	code("0010"),
	code("00011"),
	code("000101"),
	code("000100"),
	code("0000100"),
	code("0000101"),
	code("0000111"),
	code("00000100"),
	code("00000111"),
	code("000011000"),
	code("0000010111"),
	code("0000011000"),
	code("0000001000"),
	code("00001100111"),
	code("00001101000"),
	code("00001101100"),
	code("00000110111"),
	code("00000101000"),
	code("00000010111"),
	code("00000011000"),
	code("000011001010"),
	code("000011001011"),
	code("000011001100"),
	code("000011001101"),
	code("000001101000"),
	code("000001101001"),
	code("000001101010"),
	code("000001101011"),
	code("000011010010"),
	code("000011010011"),
	code("000011010100"),
	code("000011010101"),
	code("000011010110"),
	code("000011010111"),
	code("000001101100"),
	code("000001101101"),
	code("000011011010"),
	code("000011011011"),
	code("000001010100"),
	code("000001010101"),
	code("000001010110"),
	code("000001010111"),
	code("000001100100"),
	code("000001100101"),
	code("000001010010"),
	code("000001010011"),
	code("000000100100"),
	code("000000110111"),
	code("000000111000"),
	code("000000100111"),
	code("000000101000"),
	code("000001011000"),
	code("000001011001"),
	code("000000101011"),
	code("000000101100"),
	code("000001011010"),
	code("000001100110"),
	code("000001100111"),
};
// Make-up codes, runs 64 to 1728 in steps of 64.
constexpr Code kWhiteMakeUp[27] = {
	code("11011"),
	code("10010"),
	code("010111"),
	code("0110111"),
	code("00110110"),
	code("00110111"),
	code("01100100"),
	code("01100101"),
	code("01101000"),
	code("01100111"),
	code("011001100"),
	code("011001101"),
	code("011010010"),
	code("011010011"),
	code("011010100"),
	code("011010101"),
	code("011010110"),
	code("011010111"),
	code("011011000"),
	code("011011001"),
	code("011011010"),
	code("011011011"),
	code("010011000"),
	code("010011001"),
	code("010011010"),
	code("011000"),
	code("010011011"),
};
constexpr Code kBlackMakeUp[27] = {
	code("0000001111"),
	code("000011001000"),
	code("000011001001"),
	code("000001011011"),
	code("000000110011"),
	code("000000110100"),
	code("000000110101"),
	code("0000001101100"),
	code("0000001101101"),
	code("0000001001010"),
	code("0000001001011"),
	code("0000001001100"),
	code("0000001001101"),
	code("0000001110010"),
	code("0000001110011"),
	code("0000001110100"),
	code("0000001110101"),
	code("0000001110110"),
	code("0000001110111"),
	code("0000001010010"),
	code("0000001010011"),
	code("0000001010100"),
	code("0000001010101"),
	code("0000001011010"),
	code("0000001011011"),
	code("0000001100100"),
	code("0000001100101"),
};
// Make-up codes of both colours, runs 1792 to 2560 in steps of 64.
constexpr Code kCommonMakeUp[13] = {
	code("00000001000"),
	code("00000001100"),
	code("00000001101"),
	code("000000010010"),
	code("000000010011"),
	code("000000010100"),
	code("000000010101"),
	code("000000010110"),
	code("000000010111"),
	code("000000011100"),
	code("000000011101"),
	code("000000011110"),
	code("000000011111"),
};
constexpr Code kPass = code("0001");
constexpr Code kHorizontal = code("001");
// Vertical modes, a1 - b1 from -3 to 3.
constexpr Code kVertical[7] = { code("0000010"), code("000010"), code("010"), code("1"),
				code("011"), code("000011"), code("0000011") };
constexpr Code kEndOfLine = code("000000000001");
constexpr uint32_t kLongestMakeUp = 2560;

bool pixelAt(const uint8_t *row, uint32_t x)
{
	return (row[x >> 3] >> (7 - (x & 7))) & 1;
}

// The changing elements of a row: every x where the colour differs from the
// pixel before (white before the first), then `pixels` three times, so
// that a1, a2, b1 and b2 always exist.
void changingElements(const uint8_t *row, uint32_t pixels, std::vector<uint32_t> &changes)
{
	changes.clear();
	bool colour = false;
	for (uint32_t x = 0; x < pixels;) {
		// Whole bytes of the current colour are skipped at once.
		if ((x & 7) == 0 && x + 8 <= pixels && row[x >> 3] == (colour ? 0xFF : 0x00)) {
			x += 8;
			continue;
		}
		if (pixelAt(row, x) != colour) {
			changes.push_back(x);
			colour = !colour;
		}
		++x;
	}
	changes.insert(changes.end(), 3, pixels);
}

} // namespace

G4Encoder::G4Encoder(uint32_t pixels) : pixels_(pixels), reference_(3, pixels) {}

void G4Encoder::put(uint32_t code, uint32_t length)
{
	bits_ = bits_ << length | code;
	bitCount_ += length;
	while (bitCount_ >= 8) {
		bitCount_ -= 8;
		out_.push_back(static_cast<uint8_t>(bits_ >> bitCount_));
	}
	bits_ &= (1u << bitCount_) - 1;
}

void G4Encoder::putRun(uint32_t run, bool black)
{
	for (; run >= kLongestMakeUp + 64; run -= kLongestMakeUp)
		put(kCommonMakeUp[12].bits, kCommonMakeUp[12].length);
	if (run >= 64) {
		const uint32_t step = run / 64 - 1;
		const Code makeUp = step >= 27 ? kCommonMakeUp[step - 27] : black ? kBlackMakeUp[step]
										  : kWhiteMakeUp[step];
		put(makeUp.bits, makeUp.length);
		run %= 64;
	}
	const Code terminating = black ? kBlackRun[run] : kWhiteRun[run];
	put(terminating.bits, terminating.length);
}

void G4Encoder::putVertical(int offset)
{
	const Code mode = kVertical[offset + 3];
	put(mode.bits, mode.length);
}

void G4Encoder::addRow(const uint8_t *row)
{
	changingElements(row, pixels_, coding_);
	// a0 starts on an imaginary white pixel before the first; b1 is the
	// first changing element of the row above right of a0 and of the other
	// colour than a0's: an even index changes to black.
	int64_t a0 = -1;
	bool black = false;
	size_t a = 0, b = 0;
	for (;;) {
		while (coding_[a] <= a0 && a + 2 < coding_.size())
			++a;
		while (reference_[b] <= a0 && b + 2 < reference_.size())
			++b;
		const size_t b1At = ((b & 1) != 0) == black ? b : b + 1;
		const uint32_t a1 = coding_[a], b1 = reference_[std::min(b1At, reference_.size() - 2)];
		const uint32_t b2 = reference_[std::min(b1At + 1, reference_.size() - 1)];
		if (b2 < a1) {
			put(kPass.bits, kPass.length);
			a0 = b2;
		} else if (const int64_t offset = int64_t(a1) - int64_t(b1); offset >= -3 && offset <= 3) {
			putVertical(static_cast<int>(offset));
			a0 = a1;
			black = !black;
		} else {
			const uint32_t a2 = coding_[a + 1];
			put(kHorizontal.bits, kHorizontal.length);
			putRun(a1 - static_cast<uint32_t>(std::max<int64_t>(a0, 0)), black);
			putRun(a2 - a1, !black);
			a0 = a2;
		}
		if (a0 >= pixels_)
			break;
	}
	reference_.swap(coding_);
}

size_t G4Encoder::finishedSize() const
{
	return out_.size() + (bitCount_ + 2 * kEndOfLine.length + 7) / 8;
}

std::vector<uint8_t> G4Encoder::finish()
{
	put(kEndOfLine.bits, kEndOfLine.length);
	put(kEndOfLine.bits, kEndOfLine.length);
	if (bitCount_ > 0)
		put(0, 8 - bitCount_);
	return std::move(out_);
}

G4Encoder::Mark G4Encoder::mark() const
{
	return Mark{ out_.size(), bits_, bitCount_, reference_ };
}

void G4Encoder::rollBack(const Mark &mark)
{
	out_.resize(mark.bytes);
	bits_ = mark.bits;
	bitCount_ = mark.bitCount;
	reference_ = mark.reference;
}

std::vector<uint8_t> g4Block(const uint8_t *image, uint32_t pixels, uint32_t bytesPerLine, uint32_t first,
			     uint32_t count)
{
	G4Encoder encoder(pixels);
	for (uint32_t line = first; line < first + count; ++line)
		encoder.addRow(image + size_t(line) * bytesPerLine);
	return encoder.finish();
}

G4Strip g4Strip(const uint8_t *image, uint32_t pixels, uint32_t bytesPerLine, uint32_t first, uint32_t lines,
		size_t capacity)
{
	G4Strip strip;
	G4Encoder encoder(pixels);
	for (uint32_t line = first; line < lines; ++line) {
		// Rows are added while the block still fits, and the one that
		// makes it too long is taken back.
		const G4Encoder::Mark before = encoder.mark();
		encoder.addRow(image + size_t(line) * bytesPerLine);
		if (encoder.finishedSize() > capacity) {
			encoder.rollBack(before);
			break;
		}
		++strip.rows;
	}
	if (strip.rows > 0)
		strip.bytes = encoder.finish();
	return strip;
}

} // namespace torvane::twain
