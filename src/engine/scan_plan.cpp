// SPDX-License-Identifier: MIT
// The scan plan, worked out from the settings alone.

#include "engine/scan_plan.h"

#include <algorithm>
#include <cmath>

#include "ability/inquiry.h"
#include "engine/chunk_ring.h"

namespace torvane::engine {

namespace {

// Bytes per pixel as the resampler counts them (1 below 8 bits), rounded up
// so that no step's line is longer than this many bytes per pixel.
uint32_t bytesPerPixel(uint8_t bitsPerPixel)
{
	return std::max<uint32_t>(1, (bitsPerPixel + 7u) / 8u);
}

bool resamplesFor(uint16_t requestedXRes)
{
	return requestedXRes != 300 && requestedXRes != 600;
}

// The largest single image read; a scan set up without the extended ability
// decoding still reads in pieces of 524288 bytes rather than in none at all.
uint32_t readBlockSize(uint32_t maxReadBlock)
{
	uint32_t block = maxReadBlock ? maxReadBlock : ability::kMaxReadBlock;
	// The transfer length of READ(10) has 24 bits.
	return block > 0xFFFFFF ? 0xFFFFFF : block;
}

// Bytes the scanner sends in all; the division by 8 comes first.
uint64_t imageBytesOf(const ScanParameter &work)
{
	return static_cast<uint64_t>(work.BitPerPixel / 8) * work.LineNum * work.PixelNum;
}

// The pixels the crop keeps: the requested width at the base resolution, but
// never more than the scanned line holds right of the start pixel.
uint32_t croppedPixels(const setup::ScanSettings &settings)
{
	const ScanParameter &work = settings.workParam;
	const uint32_t startPixel = (work.XRes * static_cast<uint32_t>(settings.userRequest.Left)) / 300;
	const uint32_t available = work.PixelNum > startPixel ? work.PixelNum - startPixel : 0;
	const double wanted = settings.userRequest.PixelNum * settings.userRequest.zoomToBase;
	if (!(wanted >= 0.0))
		return 0;
	if (wanted >= available)
		return available;
	return static_cast<uint32_t>(std::trunc(wanted));
}

// None when the whole scanned width goes on (the window is the scanner's
// width, or the resolution is below 50 dpi).
std::optional<LineCrop> lineCropFor(const setup::ScanSettings &settings, uint32_t scannerWidth)
{
	const ScanParameter &work = settings.workParam;
	const setup::UserRequest &request = settings.userRequest;
	const bool narrower = request.Left != 0 || request.Width != scannerWidth;
	if (!narrower || request.XRes < 50)
		return std::nullopt;
	LineCrop crop;
	crop.keptBytes = (croppedPixels(settings) * work.BitPerPixel) >> 3;
	// Left is counted at 300 dpi and turned into pixels at the base resolution.
	crop.startByte = ((work.XRes * static_cast<uint32_t>(request.Left)) / 300) * work.BitPerPixel / 8;
	crop.sourceLineBytes = (work.PixelNum * work.BitPerPixel) / 8;
	return crop;
}

// Resampling adds at most one line to the chunk's lines times the factor.
uint32_t maxWorkedLinesFor(uint32_t chunkLines, bool resamples, double zoomToUser)
{
	if (!resamples)
		return chunkLines;
	const double grown = chunkLines * zoomToUser;
	if (!(grown >= 0.0))
		return chunkLines;
	return std::max<uint32_t>(chunkLines, static_cast<uint32_t>(std::min(grown, 65535.0)) + 2);
}

} // namespace

ScanPlan planScan(const setup::ScanSettings &settings, const PlanInputs &inputs)
{
	const ScanParameter &work = settings.workParam;
	const setup::UserRequest &request = settings.userRequest;
	ScanPlan plan{};

	plan.chunkLines = chunkLinesFor(request.XRes);
	const uint32_t lineBytes = static_cast<uint32_t>(work.BitPerPixel * work.PixelNum) / 8;
	plan.chunkBytes = lineBytes * plan.chunkLines;
	plan.imageBytes = imageBytesOf(work);
	plan.readBlock = readBlockSize(inputs.maxReadBlock);
	plan.scannedPixels = work.PixelNum;
	plan.bitsPerPixel = work.BitPerPixel;
	plan.scannedLines = work.LineNum;
	plan.requestedXRes = request.XRes;
	plan.dumpChunks = inputs.dumpChunks;

	plan.resamples = resamplesFor(request.XRes);
	plan.zoomToUser = request.zoomToUser;
	plan.maxWorkedLines = maxWorkedLinesFor(plan.chunkLines, plan.resamples, request.zoomToUser);
	plan.outputPixels = request.PixelNum;
	const uint64_t pixels = std::max<uint32_t>(work.PixelNum, request.PixelNum);
	const uint64_t workedLineBytes = pixels * bytesPerPixel(work.BitPerPixel) + 1;
	plan.stagingBytes =
		static_cast<size_t>(std::max<uint64_t>(plan.chunkBytes, plan.maxWorkedLines * workedLineBytes));

	plan.crop = lineCropFor(settings, inputs.scannerWidth);
	plan.sourcePixels = plan.crop ? croppedPixels(settings) : work.PixelNum;
	plan.croppedChunkBytes = plan.crop ? plan.crop->keptBytes * plan.chunkLines : plan.chunkBytes;

	plan.filtersForModel = !inputs.rawTestMode && work.ScanMode == 4 && request.XRes == 300;
	const uint32_t filterLineBytes = (request.PixelNum * work.BitPerPixel) / 8;
	plan.filtersReadTheSlot = plan.filtersForModel && !plan.crop &&
				  static_cast<uint64_t>(filterLineBytes) * plan.chunkLines == plan.chunkBytes;

	plan.greyFromColour = settings.greyFromColour == 1;
	plan.halftoneFromGrey = settings.halftoneFromGrey == 1;
	plan.lineArtFromGrey = settings.lineArtFromGrey == 1;
	plan.htPattern = work.HTPatternNo;
	plan.needsScratch = plan.resamples || plan.greyFromColour || plan.halftoneFromGrey || plan.lineArtFromGrey;
	return plan;
}

} // namespace torvane::engine
