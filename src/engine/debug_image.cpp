// SPDX-License-Identifier: MIT
// The debug image dump.

#include "engine/debug_image.h"

#include <algorithm>
#include <array>
#include <memory>

#include "driver/driver_state.h"
#include "engine/scan_session.h"
#include "platform/platform.h"
#include "torvane_protocol/byte_order.h"

namespace torvane::engine {

namespace {

constexpr uint32_t kHeadersSize = 14 + 40;
constexpr uint32_t kPaletteSize = 256 * 4;

// Swaps row i with row lines - 1 - i: the scanner's first line becomes the
// last row, as a bottom-up bitmap has it. Its own inverse.
void reverseRows(uint8_t *chunk, uint32_t lineBytes, uint32_t lines)
{
	for (uint32_t i = 0; i < lines / 2; ++i)
		std::swap_ranges(chunk + static_cast<size_t>(i) * lineBytes,
				 chunk + static_cast<size_t>(i + 1) * lineBytes,
				 chunk + static_cast<size_t>(lines - 1 - i) * lineBytes);
}

// File header, info header and (8 bits per pixel) the grey ramp palette.
bool writeHeaders(platform::File &file, uint32_t headerSize, int32_t width, uint32_t height,
		  uint8_t bitsPerPixel, uint32_t imageBytes)
{
	std::array<uint8_t, kHeadersSize> header{};
	header[0] = 'B';
	header[1] = 'M';
	protocol::writeLittleEndian32(&header[2], headerSize + imageBytes);
	protocol::writeLittleEndian32(&header[10], headerSize);
	protocol::writeLittleEndian32(&header[14], 40);
	protocol::writeLittleEndian32(&header[18], static_cast<uint32_t>(width));
	protocol::writeLittleEndian32(&header[22], height);
	protocol::writeLittleEndian16(&header[26], 1);
	protocol::writeLittleEndian16(&header[28], bitsPerPixel);
	protocol::writeLittleEndian32(&header[34], imageBytes);
	if (!file.write(header.data(), header.size()))
		return false;
	if (headerSize == kHeadersSize)
		return true;

	std::array<uint8_t, kPaletteSize> palette{};
	for (uint32_t i = 0; i < 256; ++i) {
		palette[4 * i] = static_cast<uint8_t>(i);
		palette[4 * i + 1] = static_cast<uint8_t>(i);
		palette[4 * i + 2] = static_cast<uint8_t>(i);
	}
	return file.write(palette.data(), palette.size());
}

} // namespace

void DumpChunkImage(uint8_t *chunk, int32_t pixelsPerLine, uint32_t lines, uint8_t bitsPerPixel,
		    int32_t newFile, uint32_t imageBytes)
{
	if (!chunk)
		return;

	const uint32_t lineBytes = static_cast<uint32_t>(bitsPerPixel * static_cast<int64_t>(pixelsPerLine) / 8);
	// Rows are taken at the line size rounded down to a multiple of 4, without
	// regard to line boundaries; a line under 4 bytes has no row to write.
	const uint32_t rowSize = lineBytes & ~3u;
	if (rowSize == 0)
		return;
	const uint64_t chunkSize = static_cast<uint64_t>(rowSize) * lines;
	const uint32_t headerSize = bitsPerPixel == 8 ? kHeadersSize + kPaletteSize : kHeadersSize;

	reverseRows(chunk, lineBytes, lines);

	const char *path = driver::driverState.DebugImagePath;
	std::unique_ptr<platform::File> file;
	uint32_t n = 0;
	uint16_t &dumpChunkCount = scanSession.dumpChunkCount;
	if (newFile) {
		dumpChunkCount = 1;
		n = 1;
		file = platform::createFile(path);
		if (file)
			writeHeaders(*file, headerSize, pixelsPerLine, imageBytes / rowSize, bitsPerPixel, imageBytes);
	} else {
		n = dumpChunkCount + 1u;
		file = platform::openExistingFile(path);
	}

	if (file) {
		// Chunk 1, the top of the image, ends at the end of the file; each
		// later chunk lies directly below the one before. A chunk that does
		// not fit whole is not written.
		const uint64_t end = static_cast<uint64_t>(n) * chunkSize;
		if (end <= imageBytes && file->seek(headerSize + (imageBytes - end)))
			file->write(chunk, static_cast<size_t>(chunkSize));
		file.reset();
		if (!newFile)
			++dumpChunkCount;
	}

	reverseRows(chunk, lineBytes, lines);
}

} // namespace torvane::engine
