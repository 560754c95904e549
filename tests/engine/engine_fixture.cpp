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
#include "setup/scan_settings.h"

namespace torvane::engine::test {

void applySettings(const Settings &s)
{
	const uint16_t base = s.xres <= 300 ? 300 : 600;
	driver::driverState.scannerWidth = s.scannerWidth;
	driver::driverState.maxReadBlock = ability::kMaxReadBlock;
	setup::workParam = {};
	setup::workParam.XRes = base;
	setup::workParam.YRes = base;
	setup::workParam.PixelNum = static_cast<uint16_t>(s.scannerWidth * base / 300);
	setup::workParam.LineNum = s.lineNum;
	setup::workParam.BitPerPixel = s.bitsPerPixel;
	setup::workParam.ScanMode = s.scanMode;
	const uint16_t width = s.width ? s.width : s.scannerWidth;
	setup::userRequest = {};
	setup::userRequest.XRes = s.xres;
	setup::userRequest.Left = s.left;
	setup::userRequest.Width = width;
	setup::userRequest.PixelNum = s.pixelNum ? s.pixelNum : static_cast<uint16_t>(width * s.xres / 300);
	setup::userRequest.zoomToUser = static_cast<double>(s.xres) / base;
	setup::userRequest.zoomToBase = static_cast<double>(base) / s.xres;
	setup::lineArtFromGrey = 0;
	setup::halftoneFromGrey = 0;
	setup::greyFromColour = 0;
}

void handOver(const std::vector<uint8_t> &chunk)
{
	ChunkRing &ring = *chunkRing;
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
