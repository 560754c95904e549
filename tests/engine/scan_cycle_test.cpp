// SPDX-License-Identifier: MIT
// StartScan and StopScan without a scanner: chunk geometry, buffer sizes,
// allocation failures, a scanner that does not answer, calls out of order.

#include <algorithm>
#include <vector>

#include <gtest/gtest.h>

#include "driver/device_lock.h"
#include "driver/driver_state.h"
#include "driver/scan_state.h"
#include "engine/chunk_ring.h"
#include "engine/scan_session.h"
#include "engine/engine_testing.h"
#include "engine/scan_engine.h"
#include "engine_fixture.h"
#include "setup/scan_settings.h"
#include "torvane/torvane.h"

namespace torvane::engine::test {
namespace {

using ScanCycleTest = EngineTest;

TEST(ChunkGeometryTest, ChunkLinesFollowTheRequestedResolution)
{
	EXPECT_EQ(chunkLinesFor(49), 48u);
	EXPECT_EQ(chunkLinesFor(300), 48u);
	EXPECT_EQ(chunkLinesFor(301), 16u);
	EXPECT_EQ(chunkLinesFor(600), 16u);
	EXPECT_EQ(chunkLinesFor(601), 16u);
	EXPECT_EQ(chunkLinesFor(602), 4u);
	EXPECT_EQ(chunkLinesFor(65535), 4u);
}

TEST_F(ScanCycleTest, TheStagingBufferHoldsAChunkEnlargedInBothDirections)
{
	// 2400 dpi from a 600 dpi base: 4 lines become 16 (plus the resampler's
	// one line of slack), 20 pixels become 80, 3 bytes each.
	applySettings({ .xres = 2400, .scannerWidth = 10, .bitsPerPixel = 24, .scanMode = 4 });
	StartScan();
	ASSERT_TRUE(scanSession.chunkRing);
	EXPECT_EQ(scanSession.chunkRing->chunkLines, 4u);
	EXPECT_EQ(scanSession.chunkRing->chunkBytes, 4u * 20 * 3);
	EXPECT_GE(scanSession.stagingBytes, 17u * 80 * 3);

	applySettings({ .xres = 150, .scannerWidth = 10, .bitsPerPixel = 24, .scanMode = 4 });
	StopScan();
	StartScan();
	ASSERT_TRUE(scanSession.chunkRing);
	EXPECT_EQ(scanSession.chunkRing->chunkBytes, 48u * 10 * 3);
	EXPECT_GE(scanSession.stagingBytes, scanSession.chunkRing->chunkBytes);
}

// Page after page, the ring and the staging buffer of one scan serve the
// next while they are large enough; TerminateDriver frees them.
TEST_F(ScanCycleTest, BuffersAreKeptForTheNextScanWhileTheyAreLargeEnough)
{
	const auto buffersOfScan = [] {
		std::vector<const uint8_t *> buffers{ scanSession.stagingBuffer.get() };
		for (const ScanBuffer &slot : scanSession.chunkRing->slotBuffer)
			buffers.push_back(slot.get());
		return buffers;
	};
	applySettings({ .xres = 300, .scannerWidth = 10, .bitsPerPixel = 24, .scanMode = 4 });
	StartScan();
	ASSERT_TRUE(scanSession.chunkRing);
	const std::vector<const uint8_t *> first = buffersOfScan();
	StopScan();
	EXPECT_FALSE(scanSession.chunkRing);
	EXPECT_FALSE(scanSession.stagingBuffer);

	// Smaller chunks: the same buffers; the staging buffer starts zeroed.
	applySettings({ .xres = 300, .scannerWidth = 10, .bitsPerPixel = 8, .scanMode = 2 });
	StartScan();
	ASSERT_TRUE(scanSession.chunkRing);
	EXPECT_EQ(buffersOfScan(), first);
	const uint8_t *staging = scanSession.stagingBuffer.get();
	EXPECT_EQ(std::count(staging, staging + scanSession.stagingBytes, 0), static_cast<long>(scanSession.stagingBytes));
	handOver(pattern(scanSession.chunkRing->chunkBytes, 7));
	std::vector<uint8_t> delivered(scanSession.chunkRing->chunkBytes);
	ASSERT_EQ(ReadScan(nullptr, delivered.data(), static_cast<uint32_t>(delivered.size())), 1);
	EXPECT_EQ(delivered, pattern(scanSession.chunkRing->chunkBytes, 7));
	StopScan();

	// Larger chunks need new buffers; an allocation fault still strikes.
	applySettings({ .xres = 600, .scannerWidth = 40, .bitsPerPixel = 24, .scanMode = 4 });
	testing::setAllocationFault([](BufferKind kind, uint32_t index) { return kind == BufferKind::RingSlot && index == 3; });
	EXPECT_EQ(StartScan(), 0);
	EXPECT_EQ(driver::lastError(), TORVANE_ERROR_NO_MEMORY);
	ASSERT_TRUE(scanSession.chunkRing);
	EXPECT_FALSE(scanSession.chunkRing->slotBuffer[3]);
	StopScan();
	testing::resetHooks();
	EXPECT_GE(retainedBufferBytes(), 3u * 16 * 80 * 3);
	TerminateDriver();
	EXPECT_EQ(retainedBufferBytes(), 0u);
}

TEST_F(ScanCycleTest, AScannerThatRefusesToStartLeavesTheRingAndScanBusyToStopScan)
{
	applySettings({});
	driver::setScanBusy(0);
	EXPECT_EQ(StartScan(), 0);
	EXPECT_EQ(driver::lastError(), TORVANE_ERROR_GENERAL);
	EXPECT_EQ(driver::scanBusy(), 1);
	EXPECT_TRUE(scanSession.chunkRing);
	EXPECT_EQ(scanSession.chunkRing->acquireEnabled.load(), 1);
	EXPECT_FALSE(scanSession.acquireThread);
	EXPECT_NE(mainLog().find("\r\nIn   0 : StartScan :\r\nOut  0 : StartScan :"), std::string::npos);
	EXPECT_FALSE(torvane::test::exists(logs_.file("quorvar.txt")));

	// No thread will fill the ring: the reader fails at once.
	uint8_t buffer[16];
	EXPECT_EQ(ReadScan(nullptr, buffer, sizeof(buffer)), 0);
	EXPECT_EQ(driver::lastError(), TORVANE_ERROR_NO_IMAGE_DATA);

	EXPECT_EQ(StopScan(), 0);
	EXPECT_EQ(driver::lastError(), TORVANE_ERROR_NO_DEVICE);
	EXPECT_EQ(driver::scanBusy(), 0);
	EXPECT_FALSE(scanSession.chunkRing);
	EXPECT_FALSE(scanSession.stagingBuffer);
}

TEST_F(ScanCycleTest, NoStagingBufferFailsWith152BeforeTheExitLine)
{
	applySettings({});
	driver::setScanBusy(0);
	testing::setAllocationFault([](BufferKind kind, uint32_t) { return kind == BufferKind::Staging; });
	EXPECT_EQ(StartScan(), 0);
	EXPECT_EQ(driver::lastError(), TORVANE_ERROR_NO_MEMORY);
	EXPECT_EQ(driver::scanBusy(), 1);
	EXPECT_FALSE(scanSession.chunkRing);
	EXPECT_FALSE(scanSession.stagingBuffer);
	EXPECT_NE(mainLog().find("In   0 : StartScan :"), std::string::npos);
	EXPECT_EQ(mainLog().find("Out  0 : StartScan :"), std::string::npos);

	StopScan();
	EXPECT_EQ(driver::scanBusy(), 0);
}

TEST_F(ScanCycleTest, ASlotThatCannotBeAllocatedKeepsTheEarlierOnesUntilStopScan)
{
	applySettings({});
	testing::setAllocationFault(
		[](BufferKind kind, uint32_t index) { return kind == BufferKind::RingSlot && index == 10; });
	EXPECT_EQ(StartScan(), 0);
	EXPECT_EQ(driver::lastError(), TORVANE_ERROR_NO_MEMORY);
	EXPECT_EQ(mainLog().find("Out  0 : StartScan :"), std::string::npos);
	ASSERT_TRUE(scanSession.chunkRing);
	EXPECT_TRUE(scanSession.chunkRing->slotBuffer[9]);
	EXPECT_FALSE(scanSession.chunkRing->slotBuffer[10]);
	EXPECT_TRUE(scanSession.stagingBuffer);

	// Freed by StopScan (LeakSanitizer would report them otherwise).
	StopScan();
	EXPECT_FALSE(scanSession.chunkRing);
	EXPECT_FALSE(scanSession.stagingBuffer);
	EXPECT_EQ(driver::scanBusy(), 0);
}

TEST_F(ScanCycleTest, ReadScanOutsideAScanFailsWith157)
{
	uint8_t buffer[8] = {};
	EXPECT_EQ(ReadScan(nullptr, buffer, sizeof(buffer)), 0);
	EXPECT_EQ(driver::lastError(), TORVANE_ERROR_NO_IMAGE_DATA);

	applySettings({});
	StartScan();
	handOver(pattern(scanSession.chunkRing->chunkBytes, 0));
	ASSERT_EQ(ReadScan(nullptr, buffer, sizeof(buffer)), 1);
	StopScan();
	// Bytes of the last chunk are still counted as pending; none is read.
	driver::setLastError(0);
	EXPECT_EQ(ReadScan(nullptr, buffer, sizeof(buffer)), 0);
	EXPECT_EQ(driver::lastError(), TORVANE_ERROR_NO_IMAGE_DATA);
	// A failing call writes no exit line.
	const std::string log = mainLog();
	EXPECT_EQ(log.substr(log.rfind("\r\nOut  ")), "\r\nOut  0 : StopScan :\r\nIn   0 : ReadScan :");
}

TEST_F(ScanCycleTest, ReadScanIntoNoBufferFailsWithoutTakingAChunk)
{
	applySettings({});
	StartScan();
	handOver(pattern(scanSession.chunkRing->chunkBytes, 0));
	EXPECT_EQ(ReadScan(nullptr, nullptr, 4), 0);
	EXPECT_EQ(driver::lastError(), TORVANE_ERROR_GENERAL);
	EXPECT_EQ(scanSession.chunkRing->slotLines[0].load(), 16);
	// Nothing asked, nothing written: a null buffer is fine for 0 bytes.
	EXPECT_EQ(ReadScan(nullptr, nullptr, 0), 1);
}

TEST_F(ScanCycleTest, StopScanAfterDoCancelFailsWith159AndClearsTheRequest)
{
	applySettings({});
	StartScan();
	DoCancel();
	EXPECT_EQ(StopScan(), 0);
	EXPECT_EQ(driver::lastError(), TORVANE_ERROR_CANCELLED);
	EXPECT_EQ(driver::driverState.CancelRequested.load(), 0);
	EXPECT_NE(mainLog().find("\r\nIn   0 : StopScan :\r\nOut  0 : StopScan :"), std::string::npos);
}

// The acquisition thread ends only the scan it belongs to, and only while it
// is scanning.
TEST_F(ScanCycleTest, AReturningThreadNeverOverwritesStoppingOrALaterScan)
{
	const uint32_t first = driver::changeScanState(driver::ScanState::Scanning);
	driver::changeScanState(driver::ScanState::Stopping);
	EXPECT_FALSE(driver::endAcquisitionOf(first));
	EXPECT_EQ(driver::scanState(), driver::ScanState::Stopping);
	driver::changeScanState(driver::ScanState::Idle);
	const uint32_t second = driver::changeScanState(driver::ScanState::Scanning);
	EXPECT_FALSE(driver::endAcquisitionOf(first));
	EXPECT_TRUE(driver::endAcquisitionOf(second));
	EXPECT_EQ(driver::scanState(), driver::ScanState::AcquisitionEnded);
	driver::changeScanState(driver::ScanState::Idle);
}

TEST_F(ScanCycleTest, StopScanClearsTheConversionFlagsAndCropAndMayBeCalledTwice)
{
	applySettings({ .left = 2, .width = 4 });
	setup::scanSettings.greyFromColour = 1;
	setup::scanSettings.halftoneFromGrey = 1;
	setup::scanSettings.lineArtFromGrey = 1;
	// The crop is the scan plan's: a scan that asks for one is started.
	StartScan();
	ASSERT_TRUE(scanSession.plan && scanSession.plan->crop);
	StopScan();
	EXPECT_EQ(setup::scanSettings.greyFromColour, 0);
	EXPECT_EQ(setup::scanSettings.halftoneFromGrey, 0);
	EXPECT_EQ(setup::scanSettings.lineArtFromGrey, 0);
	EXPECT_FALSE(scanSession.plan);
	EXPECT_EQ(driver::scanBusy(), 0);
	EXPECT_EQ(StopScan(), 0);
	EXPECT_FALSE(scanSession.chunkRing);
}

TEST_F(ScanCycleTest, TheReaderWaitsForDataOnlyAsLongAsTheLimit)
{
	applySettings({});
	StartScan();
	// As if a thread ran but sent nothing.
	scanSession.chunkRing->acquisitionEnded = false;
	testing::setWaitLimits(30000, 60);
	uint8_t buffer[4];
	const uint32_t start = platform::tickCount();
	EXPECT_EQ(ReadScan(nullptr, buffer, sizeof(buffer)), 0);
	EXPECT_EQ(driver::lastError(), TORVANE_ERROR_NO_IMAGE_DATA);
	EXPECT_GE(platform::tickCount() - start, 60u);
	scanSession.chunkRing->acquisitionEnded = true;
}

} // namespace
} // namespace torvane::engine::test
