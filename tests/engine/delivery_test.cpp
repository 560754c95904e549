// SPDX-License-Identifier: MIT
// Delivery of exactly the bytes asked for, from chunks handed over by hand:
// grey at 600 dpi (no resampling, no conversion), with and without crop.

#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "driver/driver_state.h"
#include "engine/chunk_ring.h"
#include "engine/scan_session.h"
#include "engine/scan_engine.h"
#include "engine_fixture.h"
#include "torvane/torvane.h"

namespace torvane::engine::test {
namespace {

// 600 dpi, 20 pixels of 8 bits: lines of 20 bytes, chunks of 16 lines.
constexpr uint32_t kChunkBytes = 320;

class DeliveryTest : public EngineTest
{
protected:
	void start(const Settings &settings = {})
	{
		applySettings(settings);
		StartScan();
		ASSERT_TRUE(scanSession.chunkRing);
	}

	std::vector<uint8_t> read(uint32_t length)
	{
		std::vector<uint8_t> buffer(length, 0xEE);
		EXPECT_EQ(ReadScan(nullptr, buffer.data(), length), 1);
		return buffer;
	}

	int32_t filledLines(int slot) const { return scanSession.chunkRing->slotLines[slot].load(); }
};

std::vector<uint8_t> slice(const std::vector<uint8_t> &data, size_t from, size_t count)
{
	return std::vector<uint8_t>(data.begin() + from, data.begin() + from + count);
}

TEST_F(DeliveryTest, ARequestForExactlyThePendingBytesTakesNoNewChunk)
{
	start();
	const auto first = pattern(kChunkBytes, 0);
	handOver(first);
	handOver(pattern(kChunkBytes, 50));

	EXPECT_EQ(read(100), slice(first, 0, 100));
	EXPECT_EQ(scanSession.pendingBytes, kChunkBytes - 100);
	EXPECT_EQ(read(kChunkBytes - 100), slice(first, 100, kChunkBytes - 100));
	EXPECT_EQ(scanSession.pendingBytes, 0u);
	EXPECT_EQ(filledLines(1), 16);
	EXPECT_NE(mainLog().find("\r\nIn   0 : ReadScan :\r\nOut  1 : ReadScan : 220"), std::string::npos);
}

TEST_F(DeliveryTest, ARequestSpanningChunksTakesOnlyTheChunksItNeeds)
{
	start();
	std::vector<uint8_t> image;
	for (uint8_t c = 0; c < 4; ++c) {
		const auto chunk = pattern(kChunkBytes, static_cast<uint8_t>(c * 64), 3);
		image.insert(image.end(), chunk.begin(), chunk.end());
		handOver(chunk);
	}
	EXPECT_EQ(read(10), slice(image, 0, 10));
	EXPECT_EQ(read(700), slice(image, 10, 700));
	EXPECT_EQ(filledLines(2), 0);
	EXPECT_EQ(filledLines(3), 16);
	EXPECT_EQ(scanSession.pendingBytes, 3 * kChunkBytes - 710);
	EXPECT_EQ(read(3 * kChunkBytes - 710 + kChunkBytes), slice(image, 710, 4 * kChunkBytes - 710));
}

TEST_F(DeliveryTest, ARequestForNothingTakesAndWorksOnTheNextChunk)
{
	start();
	const auto chunk = pattern(kChunkBytes, 9);
	handOver(chunk);
	EXPECT_TRUE(read(0).empty());
	EXPECT_EQ(filledLines(0), 0);
	EXPECT_EQ(scanSession.pendingBytes, kChunkBytes);
	EXPECT_EQ(read(kChunkBytes), chunk);
}

TEST_F(DeliveryTest, ANarrowerWindowIsCutFromEveryLineAtTheBaseResolution)
{
	// Left 2/300 inch = 4 pixels at 600 dpi; width 6/300 inch = 12 pixels.
	start({ .left = 2, .width = 6 });
	const auto chunk = pattern(kChunkBytes, 0);
	handOver(chunk);
	std::vector<uint8_t> expected;
	for (uint32_t line = 0; line < 16; ++line) {
		const auto kept = slice(chunk, line * 20 + 4, 12);
		expected.insert(expected.end(), kept.begin(), kept.end());
	}
	EXPECT_EQ(read(12 * 16), expected);
	EXPECT_TRUE(scanSession.plan->crop);
	EXPECT_EQ(scanSession.pendingBytes, 0u);
}

// Chunks scanned for one window are worked as planned for it, also when the
// settings change before they are read (a SetScanParameter that gets the
// lock once a failed read has cleared ScanBusy).
TEST_F(DeliveryTest, SettingsChangedInsideAScanDoNotChangeItsChunks)
{
	start({ .left = 2, .width = 6 });
	const auto chunk = pattern(kChunkBytes, 0);
	handOver(chunk);
	applySettings({ .xres = 1200, .scannerWidth = 40, .bitsPerPixel = 24, .scanMode = 4 });
	std::vector<uint8_t> expected;
	for (uint32_t line = 0; line < 16; ++line) {
		const auto kept = slice(chunk, line * 20 + 4, 12);
		expected.insert(expected.end(), kept.begin(), kept.end());
	}
	EXPECT_EQ(read(12 * 16), expected);
}

TEST_F(DeliveryTest, AWindowReachingPastTheScannedLineIsCutAtTheLineEnd)
{
	// Starts at pixel 16 of 20 and asks for 12: only 4 are there.
	start({ .left = 8, .width = 6 });
	const auto chunk = pattern(kChunkBytes, 0);
	handOver(chunk);
	std::vector<uint8_t> expected;
	for (uint32_t line = 0; line < 16; ++line) {
		const auto kept = slice(chunk, line * 20 + 16, 4);
		expected.insert(expected.end(), kept.begin(), kept.end());
	}
	EXPECT_EQ(read(4 * 16), expected);
	EXPECT_EQ(scanSession.pendingBytes, 0u);
}

TEST_F(DeliveryTest, WhenTheRingRunsDryTheCallFailsAndKeepsWhatItCopied)
{
	start();
	const auto chunk = pattern(kChunkBytes, 1);
	handOver(chunk);
	std::vector<uint8_t> buffer(kChunkBytes + 10, 0);
	EXPECT_EQ(ReadScan(nullptr, buffer.data(), static_cast<uint32_t>(buffer.size())), 0);
	EXPECT_EQ(driver::lastError(), TORVANE_ERROR_NO_IMAGE_DATA);
	EXPECT_EQ(slice(buffer, 0, kChunkBytes), chunk);
	EXPECT_EQ(scanSession.pendingBytes, 0u);
}

TEST_F(DeliveryTest, TheRingWrapsAroundAfterSixtyFourChunks)
{
	start();
	for (int round = 0; round < 3; ++round) {
		for (int c = 0; c < kRingSlots; ++c)
			handOver(pattern(kChunkBytes, static_cast<uint8_t>(c + round)));
		for (int c = 0; c < kRingSlots; ++c)
			ASSERT_EQ(read(kChunkBytes), pattern(kChunkBytes, static_cast<uint8_t>(c + round)));
	}
	EXPECT_EQ(scanSession.chunkRing->readSlot, 0);
}

} // namespace
} // namespace torvane::engine::test
