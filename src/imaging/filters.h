// SPDX-License-Identifier: MIT
// The four neighbourhood filters for colour scans of the RM735 and KT918 at 300 dpi.
#pragma once

#include <cstdint>

namespace torvane::imaging {

// Each filter rewrites a chunk of lines x L bytes in place (L = pixelsPerLine x
// bitsPerPixel / 8) from a neighbourhood of three lines, and keeps the chunk's
// last two lines so that the neighbourhood goes on across chunks: line 0 of a
// call's result is the last line of the previous chunk (zero lines at the start
// of a scan). Bytes are grouped into pixels of three (red, green, blue) by their
// index in the line; the bytes of a trailing partial pixel pass unchanged
// through the filters that look at whole pixels.
//
// A call returns lines, or 0 when its work block cannot be allocated or was
// made for shorter lines than this call's (the image is then untouched). A
// chunk longer than the block holds is worked on in pieces, with the bytes of
// separate calls. A null image releases the filter's carried state and returns
// 0; the scan stop makes that call. Only SharpenGreyPixels reads the kernel
// (nine signed bytes, rows above, centre, below; without one, grey pixels keep
// their values); window is 3 in every call and the neighbourhood is always
// three lines.
uint16_t BlendChannelLines(uint8_t *image, uint16_t pixelsPerLine, uint16_t lines,
			   uint8_t bitsPerPixel, const int8_t *kernel, int16_t window);
uint16_t NeutraliseGreyPixels(uint8_t *image, uint16_t pixelsPerLine, uint16_t lines,
			      uint8_t bitsPerPixel, const int8_t *kernel, int16_t window);
uint16_t SharpenGreyPixels(uint8_t *image, uint16_t pixelsPerLine, uint16_t lines,
			   uint8_t bitsPerPixel, const int8_t *kernel, int16_t window);
uint16_t AdjustReddishPixels(uint8_t *image, uint16_t pixelsPerLine, uint16_t lines,
			     uint8_t bitsPerPixel, const int8_t *kernel, int16_t window);

// The four filters in the read pipeline's order (BlendChannelLines,
// NeutraliseGreyPixels, SharpenGreyPixels, AdjustReddishPixels, with
// `sharpenKernel` for SharpenGreyPixels), in one pass over the chunk: line by
// line, each filter's output line goes straight on to the next filter (at the
// AVX2 and AVX-512 levels, with a kernel that weighs only each byte's own
// column, strip of pixels by strip, each down through all lines). Gives
// the bytes, carried lines and results of the four calls in a row on an
// image holding the bytes of `source`, which is read from and may be `image`
// itself (or hold lines x L bytes elsewhere: the chunk need not be copied
// into the image first). Returns the last filter's line count.
uint16_t FilterChunkInOnePass(const uint8_t *source, uint8_t *image, uint16_t pixelsPerLine, uint16_t lines,
			      uint8_t bitsPerPixel, const int8_t *sharpenKernel, int16_t window);

enum class Filter {
	BlendChannelLines,
	NeutraliseGreyPixels,
	SharpenGreyPixels,
	AdjustReddishPixels
};

// The carried state of one filter, for diagnostics and tests.
struct FilterState {
	intptr_t handle;     // 0 at load, the block while a scan runs, -1 after a release
	uint64_t blockBytes; // size of the work block, 0 without one
	uint16_t linesDone;  // BlendChannelLines: lines received since the block was made
};
FilterState filterState(Filter filter);

} // namespace torvane::imaging
