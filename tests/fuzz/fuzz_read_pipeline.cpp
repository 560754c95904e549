// SPDX-License-Identifier: MIT
// Fuzz target: image data through the read pipeline. The scan parameters are
// either a plausible request (any mode, filter, resolution and area) or the
// caller's 70 bytes as they come; SetScanParameter's derivation turns them
// into the scanner's settings, StartScan sets up the ring (there is no
// scanner, so nothing is started), and the chunks the acquisition thread
// would hand over come from the input, read back with ReadScan in pieces of
// any size into buffers of exactly that size.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "ability/inquiry.h"
#include "driver/driver_state.h"
#include "engine/chunk_ring.h"
#include "engine/engine_testing.h"
#include "engine/read_pipeline.h"
#include "engine/scan_plan.h"
#include "fuzz_driver.h"
#include "platform/fake_usb.h"
#include "setup/scan_parameter.h"
#include "setup/scan_settings.h"
#include "torvane/torvane.h"

namespace {

// The driver allocates what the request asks for; the fuzzer keeps its
// process small and skips requests whose buffers would pass this.
constexpr uint64_t kMaxScanMemory = 6u << 20;
constexpr int kMaxRounds = 24;

ScanParameter plausibleRequest(FuzzedDataProvider &input, uint16_t scannerWidth)
{
	static constexpr uint8_t kModes[] = { 0, 1, 2, 4 };
	ScanParameter p{};
	p.ScanMode = kModes[input.ConsumeIntegralInRange<size_t>(0, 3)];
	p.BitPerPixel = p.ScanMode == 4 ? 24 : (p.ScanMode == 2 ? 8 : 1);
	p.ColorFilter = input.ConsumeIntegralInRange<uint8_t>(0, 3);
	p.HTPatternNo = input.ConsumeIntegralInRange<uint8_t>(1, 6);
	p.XRes = input.ConsumeIntegralInRange<uint16_t>(50, 1200);
	p.YRes = p.XRes;
	p.Left = input.ConsumeIntegralInRange<uint16_t>(0, scannerWidth);
	p.Width = input.ConsumeIntegralInRange<uint16_t>(1, static_cast<uint16_t>(scannerWidth - p.Left + 1));
	uint32_t pixels = uint32_t(p.Width) * p.XRes / 300;
	if (p.BitPerPixel == 1)
		pixels &= ~7u;
	p.PixelNum = static_cast<uint16_t>(pixels > 0xFFFF ? 0xFFFF : pixels);
	p.LineNum = input.ConsumeIntegralInRange<uint16_t>(1, 400);
	p.Length = static_cast<uint16_t>(uint32_t(p.LineNum) * 300 / p.XRes);
	return p;
}

uint16_t outputBitsPerPixel(const ScanParameter &request)
{
	return request.BitPerPixel ? request.BitPerPixel : 8;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	using namespace torvane;
	static const bool ready = [] {
		// No scanner on the (stand-in) USB: RESERVE UNIT fails at once and
		// no thread starts.
		unsetenv("TORVANE_DEVICE_DIR");
		fake_usb::attach({});
		fuzz::attachDriverOnce();
		engine::testing::setWaitLimits(1, 1);
		return true;
	}();
	(void)ready;

	FuzzedDataProvider input(data, size);
	// Narrow scanners keep every buffer small; the geometry is the same.
	const uint16_t scannerWidth = input.ConsumeIntegralInRange<uint16_t>(1, 640);
	ScanParameter request{};
	if (input.ConsumeBool()) {
		request = plausibleRequest(input, scannerWidth);
	} else {
		const std::vector<uint8_t> raw = input.ConsumeBytes<uint8_t>(sizeof(request));
		if (!raw.empty())
			std::memcpy(&request, raw.data(), raw.size());
	}
	// SetScanParameter refuses a resolution of 0 before deriving anything.
	if (request.XRes == 0)
		return 0;

	driver::driverState.scannerWidth = scannerWidth;
	driver::driverState.maxReadBlock = ability::kMaxReadBlock;
	setup::deriveScanSettings(request, scannerWidth);

	const ScanParameter &work = setup::scanSettings.workParam;
	const engine::ScanPlan plan =
		engine::planScan(setup::scanSettings, { .scannerWidth = scannerWidth, .maxReadBlock = ability::kMaxReadBlock });
	const uint64_t chunkBytes = uint64_t(work.BitPerPixel) * work.PixelNum / 8 * plan.chunkLines;
	const uint64_t staging = plan.stagingBytes;
	if (chunkBytes * engine::kRingSlots + 3 * staging > kMaxScanMemory)
		return 0;

	StartScan();
	if (engine::scanSession.chunkRing && engine::scanSession.chunkRing->chunkBytes > 0) {
		engine::ChunkRing &ring = *engine::scanSession.chunkRing;
		// No thread runs: what the ring holds is all the data there is, so
		// a read past it ends at once instead of waiting for more.
		ring.acquisitionEnded.store(true);
		const uint64_t outputLine = (uint64_t(request.PixelNum) * outputBitsPerPixel(request) + 7) / 8;
		const uint32_t largestRead = static_cast<uint32_t>(outputLine * ring.chunkLines * 2 + 16);
		for (int round = 0; round < kMaxRounds && input.remaining_bytes() > 0; ++round) {
			if (ring.slotLines[ring.writeSlot].load() == 0) {
				// As the acquisition thread hands over: the scanner's bytes, then zeros.
				const std::vector<uint8_t> chunk = input.ConsumeBytes<uint8_t>(ring.chunkBytes);
				uint8_t *slot = ring.slotBuffer[ring.writeSlot].get();
				if (!chunk.empty())
					std::memcpy(slot, chunk.data(), chunk.size());
				std::memset(slot + chunk.size(), 0, ring.chunkBytes - chunk.size());
				ring.slotLines[ring.writeSlot].fetch_add(static_cast<int32_t>(ring.chunkLines));
				ring.writeSlot = (ring.writeSlot + 1) % engine::kRingSlots;
			}
			const uint32_t length = input.ConsumeIntegralInRange<uint32_t>(0, largestRead);
			std::vector<uint8_t> buffer(length);
			if (!ReadScan(nullptr, buffer.data(), length))
				break;
		}
	}
	StopScan();
	return 0;
}
