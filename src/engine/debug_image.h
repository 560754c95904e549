// SPDX-License-Identifier: MIT
// The debug image: at debug level 9 every raw chunk of a scan goes, exactly
// as the scanner sent it, into one uncompressed bitmap (DebugImagePath).
#pragma once

#include <cstdint>

namespace torvane::engine {

// Places `chunk` (lines of (bitsPerPixel * pixelsPerLine) / 8 bytes each)
// into the debug image. `newFile` non-zero starts a new file with both headers
// (and the grey palette for 8 bits per pixel) sized for `imageBytes`; the
// chunks placed are counted in scanSession.dumpChunkCount. The
// chunk's rows are reversed for the bottom-up bitmap and restored before the
// call returns, so the chunk is left exactly as it was. Reports nothing.
void DumpChunkImage(uint8_t *chunk, int32_t pixelsPerLine, uint32_t lines, uint8_t bitsPerPixel,
		    int32_t newFile, uint32_t imageBytes);

} // namespace torvane::engine
