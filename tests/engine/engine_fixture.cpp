// SPDX-License-Identifier: MIT
// Scan settings set directly and a ring fed by hand.

#include "engine_fixture.h"

#include <cmath>
#include <cstring>

#include "ability/inquiry.h"
#include "driver/device_lock.h"
#include "driver/driver_state.h"
#include "engine/chunk_ring.h"
#include "engine/engine_testing.h"
#include "engine/scan_engine.h"
#include "engine/scan_session.h"
#include "setup/scan_parameter.h"
#include "setup/scan_settings.h"

namespace torvane::engine::test {

void applySettings(const Settings &s)
{
	driver::driverState.scannerWidth = s.scannerWidth;
	driver::driverState.maxReadBlock = ability::kMaxReadBlock;
	// A request that SetScanParameter's derivation turns into exactly these
	// scanned lines, mode and bits: grey through a colour filter, so that it
	// is scanned as grey.
	ScanParameter request{};
	const uint16_t width = s.width ? s.width : s.scannerWidth;
	request.XRes = s.xres;
	request.YRes = s.xres;
	request.Left = s.left;
	request.Width = width;
	request.PixelNum = s.pixelNum ? s.pixelNum : static_cast<uint16_t>(width * s.xres / 300);
	request.ScanMode = s.scanMode;
	request.BitPerPixel = s.bitsPerPixel;
	request.ColorFilter = s.scanMode == 2 ? 2 : 0;
	const double zoomToBase = static_cast<double>(setup::baseResolution(s.xres)) / s.xres;
	request.LineNum = static_cast<uint16_t>(std::ceil((s.lineNum - 12) / zoomToBase));
	setup::scanSettings = {};
	setup::deriveScanSettings(request, s.scannerWidth);
	ASSERT_EQ(setup::scanSettings.workParam.LineNum, s.lineNum) << "not 12 more than a multiple of 4";
	ASSERT_EQ(setup::scanSettings.workParam.ScanMode, s.scanMode);
	ASSERT_EQ(setup::scanSettings.workParam.BitPerPixel, s.bitsPerPixel);
}

void handOver(const std::vector<uint8_t> &chunk)
{
	ChunkRing &ring = *scanSession.chunkRing;
	ASSERT_LE(chunk.size(), ring.chunkBytes);
	ASSERT_EQ(ring.slotLines[ring.writeSlot].load(), 0);
	// As the acquisition thread does: the scanner's data, then zeros.
	std::memcpy(ring.slotBuffer[ring.writeSlot].get(), chunk.data(), chunk.size());
	std::memset(ring.slotBuffer[ring.writeSlot].get() + chunk.size(), 0, ring.chunkBytes - chunk.size());
	ring.slotLines[ring.writeSlot].fetch_add(static_cast<int32_t>(ring.chunkLines));
	ring.writeSlot = (ring.writeSlot + 1) % kRingSlots;
}

std::vector<uint8_t> pattern(size_t count, uint8_t first, uint8_t step)
{
	std::vector<uint8_t> out(count);
	for (size_t i = 0; i < count; ++i)
		out[i] = static_cast<uint8_t>(first + i * step);
	return out;
}

void EngineTest::SetUp()
{
	torvane::test::configureLogging(2, logs_.path() + "/");
	torvane::test::attachDriver();
	testing::resetHooks();
}

void EngineTest::TearDown()
{
	stopScan();
	testing::resetHooks();
	torvane::test::detachDriver();
}

std::string EngineTest::mainLog() const
{
	return torvane::test::readFile(logs_.file("quorDll.txt"));
}

} // namespace torvane::engine::test
