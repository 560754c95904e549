// SPDX-License-Identifier: MIT
// Whole scans against a virtual scanner, and the image expected from them.

#include "scanner_session.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "ability/inquiry.h"
#include "driver/driver_state.h"
#include "engine/chunk_ring.h"
#include "engine/engine_testing.h"
#include "oracle/oracle.h"
#include "setup/scan_settings.h"

namespace torvane::engine::test {

namespace oracle = imaging::oracle;

namespace {

// What the read pipeline works with, taken when the scan starts (StopScan
// clears the flags).
struct PipelineSettings {
	ScanParameter work;
	setup::UserRequest request;
	uint32_t scannerWidth;
	bool greyFromColour;
	bool halftoneFromGrey;
	bool lineArtFromGrey;
	bool modelFilters;
} settings;

bool filteredModel()
{
	const uint8_t *id = driver::driverState.modelInquiry + ability::kInquiryProductId;
	return std::memcmp(id, "RM735", 6) == 0 || std::memcmp(id, "KT918", 6) == 0;
}

void takeSettings()
{
	settings.work = setup::scanSettings.workParam;
	settings.request = setup::scanSettings.userRequest;
	settings.scannerWidth = driver::driverState.scannerWidth;
	settings.greyFromColour = setup::scanSettings.greyFromColour == 1;
	settings.halftoneFromGrey = setup::scanSettings.halftoneFromGrey == 1;
	settings.lineArtFromGrey = setup::scanSettings.lineArtFromGrey == 1;
	settings.modelFilters = filteredModel() && driver::driverState.RawTestMode != 1 && setup::scanSettings.workParam.ScanMode == 4 &&
				setup::scanSettings.userRequest.XRes == 300;
}

void releaseOracles()
{
	oracle::ResampleLines(nullptr, 0, 0, nullptr, 0, 0, 0, 0);
	oracle::BlendChannelLines(nullptr, 0, 0, 0, nullptr, 0);
	oracle::NeutraliseGreyPixels(nullptr, 0, 0, 0, nullptr, 0);
	oracle::SharpenGreyPixels(nullptr, 0, 0, 0, nullptr, 0);
	oracle::AdjustReddishPixels(nullptr, 0, 0, 0, nullptr, 0);
}

// One chunk through the steps of the pipeline, whole lines at a time.
std::vector<uint8_t> workChunk(std::vector<uint8_t> chunk, uint32_t lines)
{
	const ScanParameter &work = settings.work;
	const setup::UserRequest &request = settings.request;
	const uint32_t bits = work.BitPerPixel;
	const uint32_t pixels = request.PixelNum;
	uint32_t linePixels = work.PixelNum;

	const bool crop = (request.Left != 0 || request.Width != settings.scannerWidth) && request.XRes >= 50;
	if (crop) {
		linePixels = static_cast<uint32_t>(std::trunc(pixels * request.zoomToBase));
		const uint32_t from = (work.XRes * request.Left / 300) * bits / 8;
		const uint32_t lineBytes = work.PixelNum * bits / 8;
		const uint32_t keptBytes = linePixels * bits / 8;
		std::vector<uint8_t> cropped;
		for (uint32_t i = 0; i < lines; ++i)
			cropped.insert(cropped.end(), chunk.begin() + i * lineBytes + from,
				       chunk.begin() + i * lineBytes + from + keptBytes);
		chunk = cropped;
	}

	if (settings.modelFilters) {
		const int8_t blend[9] = { 1, 1, 1, 1, 1, 1, 1, 1, 1 };
		const int8_t neutralise[9] = { 1, 1, 1, 1, 16, 1, 1, 1, 1 };
		const int8_t sharpen[9] = { 0, -1, 0, 0, 7, 0, 0, -1, 0 };
		const int8_t reddish[9] = { 0, 0, 0, 0, 1, 0, 0, 0, 0 };
		const auto n = static_cast<uint16_t>(lines);
		oracle::BlendChannelLines(chunk.data(), static_cast<uint16_t>(pixels), n, work.BitPerPixel, blend, 3);
		oracle::NeutraliseGreyPixels(chunk.data(), static_cast<uint16_t>(pixels), n, work.BitPerPixel,
					     neutralise, 3);
		oracle::SharpenGreyPixels(chunk.data(), static_cast<uint16_t>(pixels), n, work.BitPerPixel, sharpen, 3);
		oracle::AdjustReddishPixels(chunk.data(), static_cast<uint16_t>(pixels), n, work.BitPerPixel, reddish,
					    3);
	}

	if (request.XRes != 300 && request.XRes != 600) {
		const uint32_t bytesPerPixel = std::max(1u, bits / 8);
		std::vector<uint8_t> out((static_cast<size_t>(lines * request.zoomToUser) + 2) * pixels * bytesPerPixel);
		lines = oracle::ResampleLines(chunk.data(), linePixels, static_cast<int32_t>(lines), out.data(), pixels,
					      request.zoomToUser, request.zoomToUser, static_cast<uint16_t>(bits));
		out.resize(static_cast<size_t>(lines) * pixels * bytesPerPixel);
		chunk = out;
	}

	if (settings.greyFromColour) {
		std::vector<uint8_t> grey(static_cast<size_t>(lines) * pixels);
		oracle::ColourLinesToGrey(chunk.data(), grey.data(), pixels * bits / 8, lines);
		chunk = grey;
	}

	if (settings.halftoneFromGrey || settings.lineArtFromGrey) {
		// Every pixel of a line, the last byte padded with 0 bits when the
		// width is not a multiple of 8.
		const uint32_t lineBytes = (pixels + 7) / 8;
		std::vector<uint8_t> bitLines(static_cast<size_t>(lines) * lineBytes);
		if (settings.halftoneFromGrey)
			oracle::GreyLinesToHalftone(chunk.data(), bitLines.data(), lineBytes, pixels, lines,
						    work.HTPatternNo);
		else
			oracle::GreyLinesToLineArt(chunk.data(), bitLines.data(), lineBytes, pixels, lines);
		if (pixels % 8 == 0)
			bitLines.resize(chunk.size() / 8, 0);
		chunk = bitLines;
	}
	return chunk;
}

} // namespace

void ScanningTest::SetUp()
{
	torvane::test::ScannerTest::SetUp();
	if (HasFatalFailure())
		return;
	enableLogging(2);
	engine::testing::resetHooks();
	std::memcpy(driver::driverState.modelInquiry, scanner->inquiry().data(), ability::kInquirySize);
}

void ScanningTest::TearDown()
{
	StopScan();
	engine::testing::resetHooks();
	torvane::test::ScannerTest::TearDown();
}

uint16_t ScanningTest::scannerWidth() const
{
	const sim::InquiryData inquiry = scanner->inquiry();
	return static_cast<uint16_t>(inquiry[81] << 8 | inquiry[82]);
}

ScanParameter ScanningTest::parameterFor(const Request &r) const
{
	ScanParameter p{};
	p.Left = r.left;
	p.Width = r.width ? r.width : scannerWidth();
	p.Length = r.length;
	p.PixelNum = r.pixelNum ? r.pixelNum : static_cast<uint16_t>(p.Width * r.xres / 300);
	p.LineNum = static_cast<uint16_t>(r.length * r.xres / 300);
	p.ScanMode = r.mode;
	p.BitPerPixel = r.bitsPerPixel;
	p.HTPatternNo = r.pattern;
	p.ColorFilter = r.colorFilter;
	p.XRes = r.xres;
	p.YRes = r.xres;
	return p;
}

uint32_t ScanningTest::imageBytesOf(const ScanParameter &p)
{
	return static_cast<uint32_t>(p.PixelNum) * p.BitPerPixel / 8 * p.LineNum;
}

void ScanningTest::start(const ScanParameter &parameter, std::vector<uint8_t> *raw)
{
	ASSERT_EQ(SetScanParameter(&parameter), 1);
	if (raw)
		*raw = scanner->rawImage();
	takeSettings();
	ASSERT_EQ(StartScan(), 1);
}

std::vector<uint8_t> ScanningTest::readAll(uint32_t total, uint32_t piece)
{
	std::vector<uint8_t> image(total);
	for (uint32_t done = 0; done < total;) {
		const uint32_t length = std::min(piece, total - done);
		if (ReadScan(nullptr, image.data() + done, length) != 1) {
			ADD_FAILURE() << "ReadScan failed at byte " << done << " with " << driver::lastError();
			break;
		}
		done += length;
	}
	return image;
}

std::vector<uint8_t> ScanningTest::scan(const ScanParameter &parameter, std::vector<uint8_t> *raw, uint32_t piece)
{
	start(parameter, raw);
	std::vector<uint8_t> image = readAll(imageBytesOf(parameter), piece);
	EXPECT_EQ(StopScan(), 1);
	return image;
}

std::vector<uint8_t> ScanningTest::expectedImage(const std::vector<uint8_t> &raw, uint32_t total)
{
	releaseOracles();
	const uint32_t lines = chunkLinesFor(settings.request.XRes);
	const size_t chunkBytes = static_cast<size_t>(settings.work.BitPerPixel) * settings.work.PixelNum / 8 * lines;
	std::vector<uint8_t> image;
	for (size_t at = 0; at < raw.size() && image.size() < total; at += chunkBytes) {
		// The last chunk is worked on whole; the lines the scanner did not
		// send are zero.
		std::vector<uint8_t> chunk(chunkBytes, 0);
		std::copy_n(raw.begin() + at, std::min(chunkBytes, raw.size() - at), chunk.begin());
		const std::vector<uint8_t> worked = workChunk(std::move(chunk), lines);
		image.insert(image.end(), worked.begin(), worked.end());
	}
	releaseOracles();
	EXPECT_GE(image.size(), total) << "the scan holds fewer bytes than the front end counts";
	image.resize(total);
	return image;
}

std::vector<uint32_t> ScanningTest::imageReads() const
{
	std::vector<uint32_t> lengths;
	for (const sim::CommandRecord &record : scanner->commandLog())
		if (record.operationCode() == 0x28 && record.dataType() == 0x00)
			lengths.push_back(record.dataInLength);
	return lengths;
}

} // namespace torvane::engine::test
