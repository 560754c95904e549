// SPDX-License-Identifier: MIT
// ReadScan: take a chunk, crop, model filters, resampling, colour to grey,
// halftone or line art, and delivery of exactly the bytes asked for.

#include "engine/read_pipeline.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <optional>

#include "driver/driver_state.h"
#include "driver/scan_state.h"
#include "engine/chunk_ring.h"
#include "engine/image_routines.h"
#include "platform/platform.h"

namespace torvane::engine {

namespace {

// ScanBusy cleared: the acquisition thread's last read failed. Read with
// acquire ordering, so that a chunk the thread handed over before it cleared
// the flag is seen by the look at the slot that follows.
bool scanEnded()
{
	return std::atomic_ref<int32_t>(*platform::scanBusyFlag()).load(std::memory_order_acquire) == 0;
}

// DoCancel during a wait for data: the front end wants the scan ended now,
// and a scanner that withholds its data would keep it waiting for the whole
// data wait.
bool cancelRequested()
{
	return driver::driverState.CancelRequested.load(std::memory_order_relaxed) == 1;
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

// A chunk on its way through the pipeline: its lines, and the finished bytes
// at the start of the staging buffer that will be delivered.
struct ChunkExtent {
	uint32_t lines;
	uint32_t bytes;
};

// Where the steps work: each step's result goes to the start of the staging
// buffer, the scratch block holds it on the way.
struct StepBuffers {
	uint8_t *staging;
	size_t stagingBytes;
	uint8_t *scratch;

	// Keeps a count of finished bytes inside the staging buffer whatever the
	// front end's settings make of it.
	uint32_t bounded(int64_t bytes) const
	{
		return static_cast<uint32_t>(std::clamp<int64_t>(bytes, 0, static_cast<int64_t>(stagingBytes)));
	}
};

// The lines were cut while the chunk was taken from its slot (one pass over
// the chunk instead of two); here only the count follows.
ChunkExtent cropChunk(const ScanPlan &plan, const StepBuffers &buffers, ChunkExtent in)
{
	if (!plan.crop)
		return in;
	const LineCrop &crop = *plan.crop;
	return { in.lines, buffers.bounded(static_cast<int64_t>(in.bytes) -
					   static_cast<int64_t>(crop.sourceLineBytes - crop.keptBytes) * in.lines) };
}

// The filters return as many lines as they receive: the byte count stays.
ChunkExtent filterChunk(const ScanPlan &plan, const uint8_t *source, uint8_t *image, ChunkExtent in)
{
	return { applyModelFilters(source, image, plan.outputPixels, in.lines, plan.bitsPerPixel), in.bytes };
}

ChunkExtent resampleChunk(const ScanPlan &plan, const StepBuffers &buffers, ChunkExtent in)
{
	if (!plan.resamples)
		return in;
	const uint32_t lines = std::min(resample(buffers.staging, plan.sourcePixels, in.lines, buffers.scratch,
						 plan.outputPixels, plan.zoomToUser, plan.bitsPerPixel),
					plan.maxWorkedLines);
	const uint32_t outputBytes =
		buffers.bounded((static_cast<int64_t>(plan.outputPixels) * plan.bitsPerPixel * lines) >> 3);
	std::memcpy(buffers.staging, buffers.scratch, outputBytes);
	return { lines,
		 buffers.bounded(static_cast<int64_t>(in.bytes) + outputBytes - plan.croppedChunkBytes) };
}

ChunkExtent greyChunk(const ScanPlan &plan, const StepBuffers &buffers, ChunkExtent in)
{
	if (!plan.greyFromColour)
		return in;
	const uint32_t pixels = plan.outputPixels;
	const uint32_t colourLineBytes = (pixels * plan.bitsPerPixel) / 8;
	const uint32_t lines = colourToGrey(buffers.staging, buffers.scratch, colourLineBytes, in.lines);
	std::memcpy(buffers.staging, buffers.scratch, buffers.bounded(static_cast<int64_t>(pixels) * lines));
	return { lines, buffers.bounded(static_cast<int64_t>(in.bytes) - 2 * static_cast<int64_t>(pixels) * lines) };
}

// A 1-bit line holds every pixel asked for: when the width is not a multiple
// of 8 its last byte is padded with 0 bits. (Lines of the width divided by 8,
// rounded down, would lose up to 7 pixels, and the chunk's bytes divided by 8
// as a whole would put stray bytes between the lines.)
uint32_t bitLineBytes(uint32_t pixels)
{
	return (pixels + 7) / 8;
}

// After a 1-bit step: the output lines at the start of the staging buffer.
// At a width of whole bytes the chunk's grey bytes divided by 8 are the count,
// as they always were; otherwise the padded lines are.
ChunkExtent placeBitLines(const StepBuffers &buffers, uint32_t pixels, ChunkExtent in)
{
	const uint32_t outputBytes = buffers.bounded(static_cast<int64_t>(bitLineBytes(pixels)) * in.lines);
	std::memcpy(buffers.staging, buffers.scratch, outputBytes);
	return { in.lines, pixels % 8 == 0 ? in.bytes / 8 : outputBytes };
}

ChunkExtent halftoneChunk(const ScanPlan &plan, const StepBuffers &buffers, ChunkExtent in)
{
	if (!plan.halftoneFromGrey)
		return in;
	const uint32_t pixels = plan.outputPixels;
	greyToHalftone(buffers.staging, buffers.scratch, bitLineBytes(pixels), pixels, in.lines, plan.htPattern);
	return placeBitLines(buffers, pixels, in);
}

ChunkExtent lineArtChunk(const ScanPlan &plan, const StepBuffers &buffers, ChunkExtent in)
{
	if (!plan.lineArtFromGrey)
		return in;
	const uint32_t pixels = plan.outputPixels;
	greyToLineArt(buffers.staging, buffers.scratch, bitLineBytes(pixels), pixels, in.lines);
	return placeBitLines(buffers, pixels, in);
}

// The model is looked at for every chunk, as InitialButton may clear the
// model's inquiry data in the middle of a scan.
bool modelFiltersApply(const ScanPlan &plan)
{
	return plan.filtersForModel && isFilteredModel();
}

template<typename Consume>
int takeFilledSlot(ChunkRing &ring, Consume consume);

// Takes the next chunk and works on it. The scratch block is allocated before
// the chunk is taken, so that a failed allocation (152) leaves the chunk in
// the ring and the next call works on it in full: no chunk is ever delivered
// half worked.
bool workOnNextChunk(ScanSession &session)
{
	const ScanPlan &plan = *session.plan;
	ChunkRing &ring = *session.chunkRing;
	std::optional<ScratchBlock> scratch;
	if (plan.needsScratch) {
		scratch.emplace(session.stagingBytes);
		if (!scratch->data()) {
			driver::setLastError(TORVANE_ERROR_NO_MEMORY);
			return false;
		}
	}
	const StepBuffers buffers{ session.stagingBuffer.get(), session.stagingBytes,
				   scratch ? scratch->data() : nullptr };
	ChunkExtent chunk{ ring.chunkLines, ring.chunkBytes };
	// Filtered from the slot into the staging buffer, or copied (and cut)
	// into it and worked on there.
	const bool filters = modelFiltersApply(plan);
	const bool fromSlot = filters && plan.filtersReadTheSlot;
	const int taken =
		fromSlot ? takeFilledSlot(ring,
					  [&](const uint8_t *slot) { chunk = filterChunk(plan, slot, buffers.staging, chunk); })
			 : TakeFilledSlot();
	if (!taken) {
		driver::setLastError(cancelRequested() ? TORVANE_ERROR_CANCELLED : TORVANE_ERROR_NO_IMAGE_DATA);
		session.pendingBytes = 0;
		return false;
	}

	chunk.bytes = ring.chunkBytes;
	chunk = cropChunk(plan, buffers, chunk);
	if (!fromSlot && filters)
		chunk = filterChunk(plan, buffers.staging, buffers.staging, chunk);
	if (scratch) {
		chunk = resampleChunk(plan, buffers, chunk);
		chunk = greyChunk(plan, buffers, chunk);
		chunk = halftoneChunk(plan, buffers, chunk);
		chunk = lineArtChunk(plan, buffers, chunk);
	}
	session.pendingBytes = session.validBytes = chunk.bytes;
	return true;
}

// Waits for the slot at readSlot to be filled, lets `consume` read it, and
// frees it. 1, or 0 when no chunk came.
template<typename Consume>
int takeFilledSlot(ChunkRing &ring, Consume consume)
{
	std::atomic<int32_t> &count = ring.slotLines[ring.readSlot];
	// Woken when the thread hands a chunk over or will send no more: it has
	// returned, or a failed read cleared ScanBusy. A cancel is seen within
	// one look (DoCancel may not signal: it runs in signal handlers).
	ring.waitFor(
		ring.chunkHandedOver,
		[&] {
			return count.load(std::memory_order_acquire) != 0 || scanEnded() ||
			       ring.acquisitionEnded.load(std::memory_order_acquire) || cancelRequested();
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

// Outside a scan there is no ring and nothing to deliver.
bool scanSetUp()
{
	const driver::ScanState state = driver::scanState();
	return state != driver::ScanState::Idle && state != driver::ScanState::Stopping;
}

} // namespace

int TakeFilledSlot()
{
	ScanSession &session = scanSession;
	ChunkRing &ring = *session.chunkRing;
	return takeFilledSlot(ring, [&](const uint8_t *slot) {
		uint8_t *staging = session.stagingBuffer.get();
		if (const std::optional<LineCrop> &crop = session.plan->crop) {
			// startByte + keptBytes never passes the end of a line.
			for (uint32_t i = 0; i < ring.chunkLines; ++i)
				std::memcpy(staging + static_cast<size_t>(i) * crop->keptBytes,
					    slot + crop->startByte + static_cast<size_t>(i) * crop->sourceLineBytes,
					    crop->keptBytes);
		} else {
			std::memcpy(staging, slot, ring.chunkBytes);
		}
	});
}

int readScan(uint8_t *buffer, uint32_t length)
{
	const ScanCallTurn turn;
	if (!turn.taken())
		return 0;
	if (!scanSetUp()) {
		driver::setLastError(TORVANE_ERROR_NO_IMAGE_DATA);
		return 0;
	}
	if (!buffer && length != 0) {
		driver::setLastError(TORVANE_ERROR_GENERAL);
		return 0;
	}

	ScanSession &session = scanSession;
	uint32_t remaining = length;
	uint8_t *out = buffer;
	for (;;) {
		if (session.pendingBytes == 0 && !workOnNextChunk(session))
			return 0;
		const uint8_t *from = session.stagingBuffer.get() + (session.validBytes - session.pendingBytes);
		if (session.pendingBytes >= remaining) {
			if (remaining)
				std::memcpy(out, from, remaining);
			session.pendingBytes -= remaining;
			return 1;
		}
		std::memcpy(out, from, session.pendingBytes);
		out += session.pendingBytes;
		remaining -= session.pendingBytes;
		session.pendingBytes = 0;
	}
}

} // namespace torvane::engine
