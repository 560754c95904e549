// SPDX-License-Identifier: MIT
// The acquisition thread and StopScan against a virtual scanner: read sizes,
// failed reads, a full ring, the short last chunk, cancel, a stalled scanner,
// scans back to back, and the debug image of whole scans.

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ability/inquiry.h"
#include "driver/device_lock.h"
#include "driver/driver_state.h"
#include "driver/scan_state.h"
#include "engine/chunk_ring.h"
#include "engine/engine_testing.h"
#include "engine/scan_session.h"
#include "engine/read_pipeline.h"
#include "imaging/filters.h"
#include "imaging/resample.h"
#include "platform/platform.h"
#include "scanner_session.h"
#include "setup/scan_settings.h"
#include "torvane/torvane.h"

namespace torvane::engine::test {
namespace {

constexpr uint8_t kRead10 = 0x28;
constexpr uint8_t kImageData = 0x00;
constexpr uint8_t kReserveUnit = 0x16;
constexpr uint8_t kReleaseUnit = 0x17;
constexpr uint8_t kScan = 0x1B;

// Waits (at most 10 s) until the acquisition thread has returned.
bool acquisitionEnds()
{
	for (int i = 0; i < 1000; ++i) {
		if (scanSession.chunkRing && scanSession.chunkRing->acquisitionEnded.load())
			return true;
		platform::sleepMs(10);
	}
	return false;
}

std::vector<uint8_t> operationCodes(const std::vector<sim::CommandRecord> &log)
{
	std::vector<uint8_t> codes;
	for (const sim::CommandRecord &record : log)
		codes.push_back(record.operationCode());
	return codes;
}

// Grey at 600 dpi from one channel: no work in the pipeline, the bytes
// delivered are the bytes scanned. Chunks of 16 lines.
Request plainGrey(uint16_t length)
{
	return { .xres = 600, .mode = 2, .bitsPerPixel = 8, .colorFilter = 2, .length = length };
}

using AcquisitionTest = ScanningTest;

TEST_F(AcquisitionTest, ChunksAreReadInPiecesOfAtMostTheReadBlock)
{
	// A chunk of exactly the read block takes one read, one byte more two.
	// 40/300 inch at 600 dpi: 80 lines, 92 scanned, chunks of 16 lines.
	const ScanParameter parameter = parameterFor(plainGrey(40));
	ASSERT_EQ(SetScanParameter(&parameter), 1);
	const uint32_t chunkBytes = 16u * setup::scanSettings.workParam.PixelNum;
	driver::driverState.maxReadBlock = chunkBytes;
	scanner->clearCommandLog();
	ASSERT_EQ(StartScan(), 1);
	readAll(imageBytesOf(parameter), 65536);
	ASSERT_TRUE(acquisitionEnds());
	EXPECT_EQ(StopScan(), 1);
	const uint32_t lastChunk = 92u % 16 * setup::scanSettings.workParam.PixelNum;
	EXPECT_EQ(imageReads(), std::vector<uint32_t>({ chunkBytes, chunkBytes, chunkBytes, chunkBytes, chunkBytes,
							lastChunk }));

	ASSERT_EQ(SetScanParameter(&parameter), 1);
	driver::driverState.maxReadBlock = chunkBytes - 1;
	scanner->clearCommandLog();
	ASSERT_EQ(StartScan(), 1);
	readAll(imageBytesOf(parameter), 65536);
	ASSERT_TRUE(acquisitionEnds());
	EXPECT_EQ(StopScan(), 1);
	const std::vector<uint32_t> reads = imageReads();
	ASSERT_EQ(reads.size(), 11u);
	EXPECT_EQ(reads[0], chunkBytes - 1);
	EXPECT_EQ(reads[1], 1u);
	EXPECT_EQ(reads[8], chunkBytes - 1);
	EXPECT_EQ(reads[9], 1u);
	EXPECT_EQ(reads[10], lastChunk);

	// A read block never set reads in pieces of 524288 bytes, not in none.
	ASSERT_EQ(SetScanParameter(&parameter), 1);
	driver::driverState.maxReadBlock = 0;
	scanner->clearCommandLog();
	ASSERT_EQ(StartScan(), 1);
	readAll(imageBytesOf(parameter), 65536);
	ASSERT_TRUE(acquisitionEnds());
	EXPECT_EQ(StopScan(), 1);
	EXPECT_EQ(imageReads().size(), 6u);
}

TEST_F(AcquisitionTest, EveryChangeOfTheScanStateIsLoggedAtLevelThree)
{
	enableLogging(3);
	const ScanParameter parameter = parameterFor(plainGrey(30));
	ASSERT_EQ(SetScanParameter(&parameter), 1);
	ASSERT_EQ(StartScan(), 1);
	readAll(imageBytesOf(parameter), 65536);
	// The thread changes the state just after it says it has returned.
	for (int i = 0; i < 1000 && driver::scanState() != driver::ScanState::AcquisitionEnded; ++i)
		platform::sleepMs(10);
	EXPECT_EQ(StopScan(), 1);
	EXPECT_EQ(driver::scanState(), driver::ScanState::Idle);

	std::vector<std::string> changes;
	const std::string log = torvane::test::readFile(logs.file("quorDll.txt"));
	for (size_t at = log.find("Scan state : "); at != std::string::npos; at = log.find("Scan state : ", at + 1))
		changes.push_back(log.substr(at, log.find('\r', at) - at));
	EXPECT_EQ(changes, std::vector<std::string>({ "Scan state : idle -> set up", "Scan state : set up -> scanning",
						      "Scan state : scanning -> acquisition ended",
						      "Scan state : acquisition ended -> stopping",
						      "Scan state : stopping -> idle" }));
}

TEST_F(AcquisitionTest, StartScanReservesStartsAndLogsTheScan)
{
	const ScanParameter parameter = parameterFor(plainGrey(40));
	ASSERT_EQ(SetScanParameter(&parameter), 1);
	scanner->clearCommandLog();
	ASSERT_EQ(StartScan(), 1);
	ASSERT_TRUE(acquisitionEnds());
	const std::vector<sim::CommandRecord> log = scanner->commandLog();
	ASSERT_GE(log.size(), 3u);
	EXPECT_EQ(log[0].operationCode(), kReserveUnit);
	EXPECT_EQ(log[1].operationCode(), kScan);
	EXPECT_EQ(log[2].operationCode(), kRead10);
	EXPECT_EQ(torvane::test::readFile(logs.file("quorvar.txt")),
		  "\r\nResolution = 600 Pixelnum = " + std::to_string(setup::scanSettings.workParam.PixelNum) +
			  " Linenum =   92 Imagesize = " + std::to_string(92u * setup::scanSettings.workParam.PixelNum));
	const std::string mainLog = torvane::test::readFile(logs.file("quorDll.txt"));
	EXPECT_NE(mainLog.find("In   0 : StartScan :"), std::string::npos);
	EXPECT_NE(mainLog.find("Out  1 : StartScan :"), std::string::npos);
}

TEST_F(AcquisitionTest, TheShortLastChunkCarriesNoLinesOfAnEarlierChunk)
{
	// 1028 scanned lines: 64 chunks of 16, then 4 lines in slot 0 again,
	// where chunk 0 was. Its 12 other lines must be zero.
	const ScanParameter parameter = parameterFor(plainGrey(508));
	std::vector<uint8_t> raw;
	start(parameter, &raw);
	ASSERT_EQ(setup::scanSettings.workParam.LineNum, 1028);
	const uint32_t lineBytes = setup::scanSettings.workParam.PixelNum;
	const std::vector<uint8_t> image = readAll(65u * 16 * lineBytes, 1 << 20);
	EXPECT_TRUE(std::equal(raw.begin(), raw.end(), image.begin()));
	EXPECT_TRUE(std::all_of(image.begin() + 1028 * lineBytes, image.end(), [](uint8_t b) { return b == 0; }));
	EXPECT_EQ(StopScan(), 1);
}

TEST_F(AcquisitionTest, AFailedImageReadClearsScanBusyAndTheChunkIsReadAgainIntoTheSameSlot)
{
	const ScanParameter parameter = parameterFor(plainGrey(40));
	std::vector<uint8_t> raw;
	ASSERT_EQ(SetScanParameter(&parameter), 1);
	raw = scanner->rawImage();
	// The first image read fails; the scanner's position does not move.
	scanner->addFault(sim::FaultRule::checkCondition(kRead10, 0x03, 0x3B, 0x00).forDataType(kImageData));
	ASSERT_EQ(StartScan(), 1);
	ASSERT_TRUE(acquisitionEnds());
	EXPECT_EQ(driver::scanBusy(), 0);
	EXPECT_EQ(imageReads().size(), 7u);
	// Six chunks handed over from slot 0 on, as if the failure had not been.
	EXPECT_EQ(scanSession.chunkRing->writeSlot, 6);
	// 92 lines in 6 chunks, the last with 4 lines of zeros after the image.
	const std::vector<uint8_t> image = readAll(6 * scanSession.chunkRing->chunkBytes, 65536);
	EXPECT_TRUE(std::equal(raw.begin(), raw.end(), image.begin()));
	EXPECT_TRUE(std::all_of(image.begin() + raw.size(), image.end(), [](uint8_t b) { return b == 0; }));
	// The ring is empty and no chunk will come: no wait.
	uint8_t byte;
	EXPECT_EQ(ReadScan(nullptr, &byte, 1), 0);
	EXPECT_EQ(driver::lastError(), TORVANE_ERROR_NO_IMAGE_DATA);
}

TEST_F(AcquisitionTest, AScannerThatKeepsFailingEndsTheReadAtOnce)
{
	const ScanParameter parameter = parameterFor(plainGrey(40));
	ASSERT_EQ(SetScanParameter(&parameter), 1);
	scanner->addFault(sim::FaultRule::failDataPhase(kRead10).forDataType(kImageData).always());
	ASSERT_EQ(StartScan(), 1);
	uint8_t buffer[64];
	const uint32_t before = platform::tickCount();
	EXPECT_EQ(ReadScan(nullptr, buffer, sizeof(buffer)), 0);
	EXPECT_LT(platform::tickCount() - before, 10000u) << "waited for data although ScanBusy was clear";
	EXPECT_EQ(driver::lastError(), TORVANE_ERROR_NO_IMAGE_DATA);
	EXPECT_EQ(driver::scanBusy(), 0);
	// Nothing was handed over; the thread still asks the scanner.
	EXPECT_EQ(scanSession.chunkRing->slotLines[0].load(), 0);
	EXPECT_FALSE(scanSession.chunkRing->acquisitionEnded.load());
	EXPECT_EQ(StopScan(), 1);
}

TEST_F(AcquisitionTest, AFullRingThatNobodyReadsEndsTheThreadAfterTheLimit)
{
	engine::testing::setWaitLimits(200, 30000);
	// 1200 scanned lines: 75 chunks, more than the ring holds.
	const ScanParameter parameter = parameterFor(plainGrey(594));
	std::vector<uint8_t> raw;
	start(parameter, &raw);
	ASSERT_EQ(setup::scanSettings.workParam.LineNum, 1200);
	ASSERT_TRUE(acquisitionEnds());
	const uint32_t chunkBytes = scanSession.chunkRing->chunkBytes;
	EXPECT_EQ(scanner->imageBytesSent(), 64u * chunkBytes);
	const std::vector<uint8_t> image = readAll(64 * chunkBytes, 65536);
	EXPECT_TRUE(std::equal(image.begin(), image.end(), raw.begin()));
	uint8_t byte;
	EXPECT_EQ(ReadScan(nullptr, &byte, 1), 0);
	EXPECT_EQ(driver::lastError(), TORVANE_ERROR_NO_IMAGE_DATA);
}

TEST_F(AcquisitionTest, AReservationTheScannerRefusesFailsWith2999WithoutScan)
{
	const ScanParameter parameter = parameterFor(plainGrey(40));
	ASSERT_EQ(SetScanParameter(&parameter), 1);
	scanner->addFault(sim::FaultRule::checkCondition(kReserveUnit, 0x02, 0x04, 0x01));
	scanner->clearCommandLog();
	EXPECT_EQ(StartScan(), 0);
	EXPECT_EQ(driver::lastError(), TORVANE_ERROR_GENERAL);
	EXPECT_EQ(driver::scanBusy(), 1);
	EXPECT_EQ(operationCodes(scanner->commandLog()), std::vector<uint8_t>({ kReserveUnit, 0x03 }));

	// StopScan after the failed start frees the ring and ends the cycle.
	EXPECT_EQ(StopScan(), 1);
	EXPECT_EQ(driver::scanBusy(), 0);
	EXPECT_FALSE(scanSession.chunkRing);
	EXPECT_EQ(scanner->lastReleaseMode(), 0);
}

// The feeder's reasons pass through; any other refusal of SCAN is 2999.
TEST_F(AcquisitionTest, AScanTheFeederRefusesKeepsTheFeedersCode)
{
	const ScanParameter parameter = parameterFor(plainGrey(40));
	const struct {
		uint8_t key, asc, ascq;
		int32_t code;
	} refusals[] = { { 0x02, 0x3A, 0x00, TORVANE_ERROR_FEEDER_EMPTY }, { 0x02, 0x3A, 0x02, TORVANE_ERROR_COVER_OPEN }, { 0x03, 0x3B, 0x05, TORVANE_ERROR_PAPER_JAM }, { 0x03, 0x3B, 0x80, TORVANE_ERROR_DOUBLE_FEED }, { 0x02, 0x04, 0x01, TORVANE_ERROR_GENERAL } };
	for (const auto &refusal : refusals) {
		ASSERT_EQ(SetScanParameter(&parameter), 1);
		scanner->addFault(sim::FaultRule::checkCondition(0x1B, refusal.key, refusal.asc, refusal.ascq));
		EXPECT_EQ(StartScan(), 0);
		EXPECT_EQ(driver::driverState.LastErrorCode.exchange(0), refusal.code) << std::hex << int(refusal.asc);
		EXPECT_EQ(StopScan(), 1);
	}
}

using ReadScanTest = ScanningTest;

TEST_F(ReadScanTest, AScratchBlockThatCannotBeAllocatedFailsWith152AndLosesNothing)
{
	const ScanParameter parameter = parameterFor({ .xres = 200 });
	std::vector<uint8_t> raw;
	start(parameter, &raw);
	const uint32_t total = imageBytesOf(parameter);
	std::vector<uint8_t> image = readAll(10000, 10000);

	// The next chunk cannot be worked on: the call fails before it takes it.
	int failures = 1;
	engine::testing::setAllocationFault(
		[&failures](BufferKind kind, uint32_t) { return kind == BufferKind::Scratch && failures-- > 0; });
	const uint32_t pendingBefore = scanSession.pendingBytes;
	std::vector<uint8_t> piece(total - 10000);
	EXPECT_EQ(ReadScan(nullptr, piece.data(), static_cast<uint32_t>(piece.size())), 0);
	EXPECT_EQ(driver::lastError(), TORVANE_ERROR_NO_MEMORY);
	EXPECT_EQ(scanSession.pendingBytes, 0u);

	// The rest of the chunk under delivery went into that call; everything
	// after it comes whole, from the chunk the failed call left in the ring.
	image.insert(image.end(), piece.begin(), piece.begin() + pendingBefore);
	const std::vector<uint8_t> rest = readAll(total - static_cast<uint32_t>(image.size()), 65536);
	image.insert(image.end(), rest.begin(), rest.end());
	EXPECT_EQ(StopScan(), 1);
	EXPECT_TRUE(image == expectedImage(raw, total));
}

using StopScanTest = ScanningTest;

TEST_F(StopScanTest, AfterDoCancelTheReleaseCarries3AndTheScanEndsWith159)
{
	const ScanParameter parameter = parameterFor(plainGrey(40));
	start(parameter);
	readAll(1000, 1000);
	DoCancel();
	EXPECT_EQ(StopScan(), 0);
	EXPECT_EQ(driver::lastError(), TORVANE_ERROR_CANCELLED);
	EXPECT_EQ(scanner->lastReleaseMode(), 3);
	EXPECT_FALSE(scanner->reserved());
	EXPECT_EQ(driver::scanBusy(), 0);

	// A second StopScan sends 0 again and succeeds.
	EXPECT_EQ(StopScan(), 1);
	EXPECT_EQ(scanner->lastReleaseMode(), 0);
	const std::vector<sim::CommandRecord> log = scanner->commandLog();
	ASSERT_FALSE(log.empty());
	EXPECT_EQ(log.back().block, (std::array<uint8_t, 10>{ kReleaseUnit, 0, 0, 0, 0, 0, 0, 0, 0, 0 }));
}

TEST_F(StopScanTest, AStalledScannerDelaysStopScanByAboutTwoSecondsOnly)
{
	const ScanParameter parameter = parameterFor(plainGrey(40));
	ASSERT_EQ(SetScanParameter(&parameter), 1);
	scanner->addFault(sim::FaultRule::stallRead(kRead10).forDataType(kImageData));
	ASSERT_EQ(StartScan(), 1);
	platform::sleepMs(100);
	const uint32_t before = platform::tickCount();
	EXPECT_EQ(StopScan(), 1);
	const uint32_t took = platform::tickCount() - before;
	EXPECT_GE(took, 2000u);
	EXPECT_LT(took, 4000u);
	EXPECT_FALSE(scanSession.chunkRing);
	EXPECT_FALSE(scanSession.acquireThread);
	EXPECT_EQ(driver::scanBusy(), 0);
	EXPECT_FALSE(scanner->reserved());

	// The scanner works for the next scan.
	scanner->clearFaults();
	const ScanParameter next = parameterFor(plainGrey(20));
	std::vector<uint8_t> raw;
	const std::vector<uint8_t> image = scan(next, &raw);
	EXPECT_TRUE(std::equal(image.begin(), image.end(), raw.begin()));
}

TEST_F(StopScanTest, ScansBackToBackWithDifferentSettingsStartClean)
{
	// 200 dpi colour uses the resampler, 300 dpi colour the four filters,
	// 600 dpi neither; each scan must equal a scan on a fresh driver.
	const Request requests[] = { { .xres = 200 }, { .xres = 300 }, { .xres = 600, .length = 40 }, { .xres = 200, .mode = 0, .bitsPerPixel = 1 }, { .xres = 300, .left = 100, .width = 600 } };
	for (const Request &request : requests) {
		const ScanParameter parameter = parameterFor(request);
		std::vector<uint8_t> raw;
		const std::vector<uint8_t> image = scan(parameter, &raw, 100000);
		EXPECT_TRUE(image == expectedImage(raw, imageBytesOf(parameter))) << "at " << request.xres << " dpi";
		const setup::ScanSettings &settings = setup::scanSettings;
		EXPECT_EQ(settings.greyFromColour + settings.lineArtFromGrey + settings.halftoneFromGrey, 0);
		EXPECT_FALSE(scanSession.plan);
	}
	// The last scan (300 dpi colour) released the filters; the resampler was
	// released after the line-art scan.
	EXPECT_EQ(imaging::filterState(imaging::Filter::BlendChannelLines).handle, -1);
	EXPECT_EQ(imaging::filterState(imaging::Filter::AdjustReddishPixels).handle, -1);
	EXPECT_EQ(imaging::resampleState().handle, -1);
}

TEST_F(StopScanTest, StartScanWithoutStopScanEndsTheEarlierScanFirst)
{
	const ScanParameter parameter = parameterFor(plainGrey(40));
	std::vector<uint8_t> raw;
	start(parameter, &raw);
	readAll(5000, 5000);
	// The scanner takes a new SCAN; the old thread must not write into the
	// new ring.
	ASSERT_EQ(StartScan(), 1);
	EXPECT_EQ(readAll(static_cast<uint32_t>(raw.size()), 65536), raw);
	EXPECT_EQ(StopScan(), 1);
}

using DebugImageScanTest = ScanningTest;

// The bitmap the dump makes of a raw image in chunks of chunkBytes.
std::vector<uint8_t> expectedBitmap(const std::vector<uint8_t> &raw, uint32_t pixels, uint32_t lines,
				    uint8_t bits)
{
	const uint32_t lineBytes = pixels * bits / 8;
	const uint32_t rowSize = lineBytes & ~3u;
	const uint32_t header = bits == 8 ? 1078 : 54;
	const auto imageBytes = static_cast<uint32_t>(raw.size());
	std::vector<uint8_t> file(header + imageBytes, 0);
	auto put32 = [&](size_t at, uint32_t v) {
		for (int i = 0; i < 4; ++i)
			file[at + i] = static_cast<uint8_t>(v >> (8 * i));
	};
	file[0] = 'B';
	file[1] = 'M';
	put32(2, header + imageBytes);
	put32(10, header);
	put32(14, 40);
	put32(18, pixels);
	put32(22, imageBytes / rowSize);
	file[26] = 1;
	file[28] = bits;
	put32(34, imageBytes);
	if (bits == 8)
		for (uint32_t i = 0; i < 256; ++i)
			file[54 + 4 * i] = file[55 + 4 * i] = file[56 + 4 * i] = static_cast<uint8_t>(i);

	const uint32_t chunkBytes = lineBytes * lines;
	const uint32_t chunkSize = rowSize * lines;
	for (uint32_t n = 1; uint64_t(n) * chunkSize <= imageBytes; ++n) {
		std::vector<uint8_t> chunk(chunkBytes, 0);
		const size_t from = size_t(n - 1) * chunkBytes;
		std::copy_n(raw.begin() + from, std::min<size_t>(chunkBytes, raw.size() - from), chunk.begin());
		std::vector<uint8_t> rows;
		for (uint32_t r = lines; r-- > 0;)
			rows.insert(rows.end(), chunk.begin() + r * lineBytes, chunk.begin() + (r + 1) * lineBytes);
		std::copy_n(rows.begin(), chunkSize, file.begin() + header + imageBytes - n * chunkSize);
	}
	return file;
}

TEST_F(DebugImageScanTest, AnEightBitAndATwentyFourBitScanAreDumpedByteForByte)
{
	enableLogging(9);
	const std::string bitmap = logs.file("Image0.bmp");
	{
		// A stale image from an earlier scan is gone before the first chunk.
		std::FILE *stale = std::fopen(bitmap.c_str(), "wb");
		std::fputs("stale", stale);
		std::fclose(stale);
	}

	for (const Request &request : { plainGrey(30), Request{ .xres = 600, .length = 30 } }) {
		const ScanParameter parameter = parameterFor(request);
		std::vector<uint8_t> raw;
		const std::vector<uint8_t> image = scan(parameter, &raw);
		EXPECT_TRUE(std::equal(image.begin(), image.end(), raw.begin())) << "the dump changed a chunk";
		EXPECT_EQ(torvane::test::readBinaryFile(bitmap),
			  expectedBitmap(raw, setup::scanSettings.workParam.PixelNum, 16, setup::scanSettings.workParam.BitPerPixel));
	}
}

} // namespace
} // namespace torvane::engine::test
