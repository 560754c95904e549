// SPDX-License-Identifier: MIT
// Resampling of image lines to the requested resolution, chunk by chunk.
#pragma once

#include <cstdint>

namespace torvane::imaging {

// Scales the lines of one chunk by xFactor in width and yFactor in height and
// returns the number of output lines written to destination (destPixels pixels
// each, bitsPerPixel / 8 bytes per pixel, at least 1). Bilinear interpolation in
// double precision, or box averaging in single precision for 24-bit colour when
// both factors are below 0.5. One call per chunk, in order, with the same
// geometry throughout a scan; the source lines the next chunk's first output
// lines still need are carried from call to call. A null source releases the
// carried state and returns 0 (the scan stop makes that call).
//
// A call returns 0 and writes nothing when its memory cannot be allocated, or
// when its arguments cannot describe a chunk (no source pixels, a negative line
// count, more than 8 bytes per pixel, a factor that is not a positive number,
// no destination).
uint32_t ResampleLines(const uint8_t *source, uint32_t sourcePixels, int32_t sourceLines,
		       uint8_t *destination, uint32_t destPixels, double xFactor, double yFactor,
		       uint16_t bitsPerPixel);

// The carried state of the resampler, for diagnostics and tests.
struct ResampleState {
	intptr_t handle;       // 0 at load, the carry block while a scan runs, -1 after a release
	uint64_t carryBytes;   // size of the carry block, 0 without one
	uint64_t carriedLines; // source lines kept for the next call
	uint32_t linesTaken;   // source lines received since the block was made
	uint32_t linesMade;    // output lines produced since then
};
ResampleState resampleState();

} // namespace torvane::imaging
