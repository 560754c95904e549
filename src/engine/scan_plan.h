// SPDX-License-Identifier: MIT
// The scan plan: everything the read pipeline and the acquisition thread need
// to know about a scan, worked out once from the settings when it starts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "setup/scan_settings.h"

namespace torvane::engine {

// The cut to the requested window: kept bytes of every line, from the start
// byte on, out of scanned lines of sourceLineBytes.
struct LineCrop {
	uint32_t startByte;
	uint32_t keptBytes;
	uint32_t sourceLineBytes;
};

// What the driver knows besides the settings when a scan starts.
struct PlanInputs {
	uint32_t scannerWidth = 0; // pixels at 300 dpi
	uint32_t maxReadBlock = 0; // 0 before the first extended ability decoding
	bool rawTestMode = false;  // no model filters
	bool dumpChunks = false;   // debug level 9: the debug image
};

struct ScanPlan {
	// The chunks the scanner sends.
	uint32_t chunkLines;
	uint32_t chunkBytes;
	uint64_t imageBytes;	// all the scanner sends
	uint32_t readBlock;	// bytes per READ(10), never 0
	int32_t scannedPixels;	// workParam.PixelNum
	uint8_t bitsPerPixel;	// workParam.BitPerPixel, at every step but the 1-bit ones
	uint16_t scannedLines;	// workParam.LineNum
	uint16_t requestedXRes; // userRequest.XRes
	bool dumpChunks;

	// The staging buffer (and scratch block): large enough for a chunk at
	// every step of the pipeline, also when resampling enlarges it.
	size_t stagingBytes;

	// None when the whole scanned width goes on.
	std::optional<LineCrop> crop;
	// Pixels of a line after the crop: what the resampler reads.
	uint32_t sourcePixels;
	// The bytes of a chunk after the crop.
	uint32_t croppedChunkBytes;

	// The four model filters, when the scanned model is one of the filtered
	// ones (looked at per chunk, see the read pipeline).
	bool filtersForModel;
	// ... reading the chunk straight from its slot: no crop moves the lines
	// first, and the filters' lines are the scanned lines.
	bool filtersReadTheSlot;

	bool resamples;
	double zoomToUser;
	// The most lines a chunk can grow to.
	uint32_t maxWorkedLines;
	// Pixels per line delivered to the front end (userRequest.PixelNum).
	uint16_t outputPixels;

	bool greyFromColour;
	bool halftoneFromGrey;
	bool lineArtFromGrey;
	uint8_t htPattern; // workParam.HTPatternNo

	// Resampling or a conversion needs the scratch block.
	bool needsScratch;
};

// The plan for `settings` as SetScanParameter left them. Reads nothing else.
ScanPlan planScan(const setup::ScanSettings &settings, const PlanInputs &inputs);

} // namespace torvane::engine
