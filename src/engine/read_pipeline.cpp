// SPDX-License-Identifier: MIT
// ReadScan: take a chunk, crop, model filters, resampling, colour to grey,
// halftone or line art, and delivery of exactly the bytes asked for.

#include "engine/read_pipeline.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <optional>

#include "ability/inquiry.h"
#include "driver/driver_state.h"
#include "engine/chunk_ring.h"
#include "engine/image_routines.h"
#include "platform/platform.h"
#include "setup/scan_settings.h"

namespace torvane::engine {

ScanBuffer stagingBuffer;
size_t stagingBytes = 0;
size_t stagingCapacity = 0;
uint32_t pendingBytes = 0;
uint32_t validBytes = 0;
uint8_t cropApplied = 0;

namespace {

// Bytes per pixel as the resampler counts them (1 below 8 bits), rounded up
// so that no step's line is longer than this many bytes per pixel.
uint32_t bytesPerPixel(uint8_t bitsPerPixel)
{
	return std::max<uint32_t>(1, (bitsPerPixel + 7u) / 8u);
}

bool resamples()
{
	const uint16_t xres = setup::userRequest.XRes;
	return xres != 300 && xres != 600;
}

// ScanBusy cleared: the acquisition thread's last read failed. Read with
// acquire ordering, so that a chunk the thread handed over before it cleared
// the flag is seen by the look at the slot that follows.
bool scanEnded()
{
	return std::atomic_ref<int32_t>(*platform::scanBusyFlag()).load(std::memory_order_acquire) == 0;
}

// A scratch block of work memory for the steps of one chunk; at most one is
// alive at a time.
class ScratchBlock
{
public:
	explicit ScratchBlock(size_t bytes) : data_(allocateScratch(bytes)) {}
	~ScratchBlock() { releaseScratch(data_); }
	ScratchBlock(const ScratchBlock &) = delete;
	ScratchBlock &operator=(const ScratchBlock &) = delete;
	uint8_t *data() const { return data_; }

private:
	uint8_t *data_;
};

// Keeps a count of finished bytes inside the staging buffer whatever the
// front end's settings make of it.
uint32_t boundedToStaging(int64_t bytes)
{
	return static_cast<uint32_t>(std::clamp<int64_t>(bytes, 0, static_cast<int64_t>(stagingBytes)));
}

// The pixels the crop keeps: the requested width at the base resolution, but
// never more than the scanned line holds right of the start pixel.
uint32_t croppedPixels()
{
	const ScanParameter &work = setup::workParam;
	const uint32_t startPixel = (work.XRes * static_cast<uint32_t>(setup::userRequest.Left)) / 300;
	const uint32_t available = work.PixelNum > startPixel ? work.PixelNum - startPixel : 0;
	const double wanted = setup::userRequest.PixelNum * setup::userRequest.zoomToBase;
	if (!(wanted >= 0.0))
		return 0;
	if (wanted >= available)
		return available;
	return static_cast<uint32_t>(std::trunc(wanted));
}

// The state of one chunk on its way through the pipeline.
struct WorkedChunk {
	uint32_t lines;
	uint32_t sizeBeforeResampling;
};

// The cut to the requested window: kept bytes of every line, from the start
// byte on. None when the whole scanned width goes on (the window is the
// scanner's width, or the resolution is below 50 dpi).
struct LineCrop {
	uint32_t startByte;
	uint32_t keptBytes;
	uint32_t sourceLineBytes;
};

std::optional<LineCrop> lineCrop()
{
	const ScanParameter &work = setup::workParam;
	const setup::UserRequest &request = setup::userRequest;
	const bool narrower = request.Left != 0 || request.Width != driver::driverState.scannerWidth;
	if (!narrower || request.XRes < 50)
		return std::nullopt;
	LineCrop crop;
	crop.keptBytes = (croppedPixels() * work.BitPerPixel) >> 3;
	// Left is counted at 300 dpi and turned into pixels at the base resolution.
	crop.startByte = ((work.XRes * static_cast<uint32_t>(request.Left)) / 300) * work.BitPerPixel / 8;
	crop.sourceLineBytes = (work.PixelNum * work.BitPerPixel) / 8;
	return crop;
}

// The lines were cut while the chunk was taken from its slot (one pass over
// the chunk instead of two); here only the counts follow.
void cropChunk(WorkedChunk &chunk)
{
	const std::optional<LineCrop> crop = lineCrop();
	if (!crop)
		return;
	cropApplied = 1;
	pendingBytes = boundedToStaging(static_cast<int64_t>(pendingBytes) -
					static_cast<int64_t>(crop->sourceLineBytes - crop->keptBytes) * chunk.lines);
	validBytes = pendingBytes;
	chunk.sizeBeforeResampling = crop->keptBytes * chunk.lines;
}

bool modelFiltersApply()
{
	return isFilteredModel() && driver::driverState.RawTestMode != 1 && setup::workParam.ScanMode == 4 &&
	       setup::userRequest.XRes == 300;
}

// The filters return as many lines as they receive: the byte counts stay.
void filterChunk(WorkedChunk &chunk, const uint8_t *source)
{
	chunk.lines = applyModelFilters(source, stagingBuffer.get(), setup::userRequest.PixelNum, chunk.lines,
					setup::workParam.BitPerPixel);
}

template<typename Consume>
int takeFilledSlot(Consume consume);

// Whether the filters can read the chunk straight from its slot: they run,
// no crop moves the lines first, and their lines are the scanned lines.
bool filtersReadTheSlot(const ChunkRing &ring)
{
	const uint32_t filterLineBytes = (setup::userRequest.PixelNum * setup::workParam.BitPerPixel) / 8;
	return modelFiltersApply() && !lineCrop() &&
	       static_cast<uint64_t>(filterLineBytes) * ring.chunkLines == ring.chunkBytes;
}

// The most lines a chunk can grow to (resampling adds at most one line to the
// chunk's lines times the factor).
uint32_t maxWorkedLines(uint32_t chunkLines)
{
	if (!resamples())
		return chunkLines;
	const double grown = chunkLines * setup::userRequest.zoomToUser;
	if (!(grown >= 0.0))
		return chunkLines;
	return std::max<uint32_t>(chunkLines, static_cast<uint32_t>(std::min(grown, 65535.0)) + 2);
}

void resampleChunk(WorkedChunk &chunk, uint8_t *scratch, uint32_t chunkLines)
{
	if (!resamples())
		return;
	const ScanParameter &work = setup::workParam;
	const setup::UserRequest &request = setup::userRequest;
	const uint32_t sourcePixels = cropApplied ? croppedPixels() : work.PixelNum;
	chunk.lines = std::min(resample(stagingBuffer.get(), sourcePixels, chunk.lines, scratch, request.PixelNum,
					request.zoomToUser, work.BitPerPixel),
			       maxWorkedLines(chunkLines));

	const uint32_t outputBytes = boundedToStaging(
		(static_cast<int64_t>(request.PixelNum) * work.BitPerPixel * chunk.lines) >> 3);
	std::memcpy(stagingBuffer.get(), scratch, outputBytes);
	pendingBytes = boundedToStaging(static_cast<int64_t>(pendingBytes) + outputBytes -
					chunk.sizeBeforeResampling);
	validBytes = pendingBytes;
}

void greyChunk(WorkedChunk &chunk, uint8_t *scratch)
{
	if (setup::greyFromColour != 1)
		return;
	const uint32_t pixels = setup::userRequest.PixelNum;
	const uint32_t colourLineBytes = (pixels * setup::workParam.BitPerPixel) / 8;
	chunk.lines = colourToGrey(stagingBuffer.get(), scratch, colourLineBytes, chunk.lines);
	std::memcpy(stagingBuffer.get(), scratch, boundedToStaging(static_cast<int64_t>(pixels) * chunk.lines));
	pendingBytes = boundedToStaging(static_cast<int64_t>(pendingBytes) -
					2 * static_cast<int64_t>(pixels) * chunk.lines);
	validBytes = pendingBytes;
}

// After a 1-bit step: the output lines at the start of the staging buffer;
// pendingBytes, divided by 8 as a whole, may count up to a byte per line more
// when the width is not a multiple of 8, and those bytes are zero.
void placeBitLines(const uint8_t *scratch, uint32_t outLineBytes, uint32_t lines)
{
	const uint32_t outputBytes = boundedToStaging(static_cast<int64_t>(outLineBytes) * lines);
	std::memcpy(stagingBuffer.get(), scratch, outputBytes);
	pendingBytes /= 8;
	if (pendingBytes > outputBytes)
		std::memset(stagingBuffer.get() + outputBytes, 0, pendingBytes - outputBytes);
	validBytes = pendingBytes;
}

void halftoneChunk(const WorkedChunk &chunk, uint8_t *scratch)
{
	if (setup::halftoneFromGrey != 1)
		return;
	const uint32_t pixels = setup::userRequest.PixelNum;
	greyToHalftone(stagingBuffer.get(), scratch, pixels / 8, pixels, chunk.lines, setup::workParam.HTPatternNo);
	placeBitLines(scratch, pixels / 8, chunk.lines);
}

void lineArtChunk(const WorkedChunk &chunk, uint8_t *scratch)
{
	if (setup::lineArtFromGrey != 1)
		return;
	const uint32_t pixels = setup::userRequest.PixelNum;
	greyToLineArt(stagingBuffer.get(), scratch, pixels / 8, pixels, chunk.lines);
	placeBitLines(scratch, pixels / 8, chunk.lines);
}

bool needsScratch()
{
	return resamples() || setup::greyFromColour == 1 || setup::halftoneFromGrey == 1 ||
	       setup::lineArtFromGrey == 1;
}

// Takes the next chunk and works on it. The scratch block is allocated before
// the chunk is taken, so that a failed allocation (152) leaves the chunk in
// the ring and the next call works on it in full: no chunk is ever delivered
// half worked.
bool workOnNextChunk()
{
	const ChunkRing &ring = *chunkRing;
	std::optional<ScratchBlock> scratch;
	if (needsScratch()) {
		scratch.emplace(stagingBytes);
		if (!scratch->data()) {
			driver::setLastError(driver::kErrorNoMemory);
			return false;
		}
	}
	WorkedChunk chunk{ ring.chunkLines, ring.chunkBytes };
	// Filtered from the slot into the staging buffer, or copied (and cut)
	// into it and worked on there.
	const bool fromSlot = filtersReadTheSlot(ring);
	const int taken = fromSlot ? takeFilledSlot([&](const uint8_t *slot) { filterChunk(chunk, slot); })
				   : TakeFilledSlot();
	if (!taken) {
		driver::setLastError(driver::kErrorNoImageData);
		pendingBytes = 0;
		return false;
	}

	pendingBytes = validBytes = ring.chunkBytes;
	cropChunk(chunk);
	if (!fromSlot && modelFiltersApply())
		filterChunk(chunk, stagingBuffer.get());
	if (scratch) {
		resampleChunk(chunk, scratch->data(), ring.chunkLines);
		greyChunk(chunk, scratch->data());
		halftoneChunk(chunk, scratch->data());
		lineArtChunk(chunk, scratch->data());
	}
	return true;
}

} // namespace

size_t workedChunkBytes(uint32_t chunkLines, uint32_t chunkBytes)
{
	const ScanParameter &work = setup::workParam;
	const uint64_t pixels = std::max<uint32_t>(work.PixelNum, setup::userRequest.PixelNum);
	const uint64_t lineBytes = pixels * bytesPerPixel(work.BitPerPixel) + 1;
	return static_cast<size_t>(std::max<uint64_t>(chunkBytes, maxWorkedLines(chunkLines) * lineBytes));
}

namespace {

// Waits for the slot at readSlot to be filled, lets `consume` read it, and
// frees it. 1, or 0 when no chunk came.
template<typename Consume>
int takeFilledSlot(Consume consume)
{
	ChunkRing &ring = *chunkRing;
	std::atomic<int32_t> &count = ring.slotLines[ring.readSlot];
	// Woken when the thread hands a chunk over or will send no more: it has
	// returned, or a failed read cleared ScanBusy.
	ring.waitFor(
		ring.chunkHandedOver,
		[&] {
			return count.load(std::memory_order_acquire) != 0 || scanEnded() ||
			       ring.acquisitionEnded.load(std::memory_order_acquire);
		},
		platform::tickCount(), dataWaitMs());
	// A last look catches a chunk handed over just before the thread ended.
	const int32_t lines = count.load(std::memory_order_acquire);
	if (lines <= 0)
		return 0;

	consume(static_cast<const uint8_t *>(ring.slotBuffer[ring.readSlot].get()));
	count.fetch_sub(lines, std::memory_order_acq_rel);
	ring.signalAcquisition();
	ring.readSlot = (ring.readSlot + 1) % kRingSlots;
	return 1;
}

} // namespace

int TakeFilledSlot()
{
	return takeFilledSlot([](const uint8_t *slot) {
		const ChunkRing &ring = *chunkRing;
		if (const std::optional<LineCrop> crop = lineCrop()) {
			// startByte + keptBytes never passes the end of a line.
			for (uint32_t i = 0; i < ring.chunkLines; ++i)
				std::memcpy(stagingBuffer.get() + static_cast<size_t>(i) * crop->keptBytes,
					    slot + crop->startByte + static_cast<size_t>(i) * crop->sourceLineBytes,
					    crop->keptBytes);
		} else {
			std::memcpy(stagingBuffer.get(), slot, ring.chunkBytes);
		}
	});
}

int readScan(uint8_t *buffer, uint32_t length)
{
	// Outside a scan there is no ring and nothing to deliver.
	if (!chunkRing || !stagingBuffer) {
		driver::setLastError(driver::kErrorNoImageData);
		return 0;
	}
	if (!buffer && length != 0) {
		driver::setLastError(driver::kErrorGeneral);
		return 0;
	}

	uint32_t remaining = length;
	uint8_t *out = buffer;
	for (;;) {
		if (pendingBytes == 0 && !workOnNextChunk())
			return 0;
		const uint8_t *from = stagingBuffer.get() + (validBytes - pendingBytes);
		if (pendingBytes >= remaining) {
			if (remaining)
				std::memcpy(out, from, remaining);
			pendingBytes -= remaining;
			return 1;
		}
		std::memcpy(out, from, pendingBytes);
		out += pendingBytes;
		remaining -= pendingBytes;
		pendingBytes = 0;
	}
}

} // namespace torvane::engine
