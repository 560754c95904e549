// SPDX-License-Identifier: MIT
// The document feeder: one sheet per SCAN, its sense when empty, jammed or
// double-fed, short sheets, and stacks loaded from folders.

#include <fstream>

#include <gtest/gtest.h>

#include "raw_client.h"
#include "sim_fixture.h"
#include "torvane_sim/feeder.h"

namespace torvane::simtest {

namespace {

constexpr uint32_t kPixels = 24; // 24/300 inch wide windows
constexpr uint32_t kLines = 20;
constexpr size_t kUltrasonicByte = 8 + 64;

// A sheet of one colour, `lines` rows at 300 dpi.
std::unique_ptr<sim::DocumentSource> sheetOf(uint8_t r, uint8_t g, uint8_t b, uint32_t lines)
{
	sim::RgbImage image;
	image.resize(kPixels, lines);
	for (size_t i = 0; i < image.pixels.size(); i += 3) {
		image.pixels[i] = r;
		image.pixels[i + 1] = g;
		image.pixels[i + 2] = b;
	}
	return std::make_unique<sim::ImageDocument>(std::move(image), 300);
}

void writePnm(const std::string &path, uint32_t width, uint32_t height, uint8_t grey)
{
	std::ofstream file(path, std::ios::binary);
	file << "P5\n"
	     << width << ' ' << height << "\n255\n"
	     << std::string(width * height, static_cast<char>(grey));
}

} // namespace

class SimFeederTest : public SimFixture
{
protected:
	void SetUp() override
	{
		SimFixture::SetUp();
		std::vector<std::unique_ptr<sim::DocumentSource>> stack;
		stack.push_back(sheetOf(0xFF, 0, 0, kLines));
		stack.push_back(sheetOf(0, 0, 0xFF, kLines / 2)); // a short sheet
		stack.push_back(sheetOf(0, 0xFF, 0, kLines));
		scanner->loadFeeder(std::move(stack));
	}

	// SET WINDOW (double-feed sensor at `ultrasonic`), RESERVE UNIT, SCAN
	// (its sense kept in `refusal` when it fails) and RELEASE UNIT; the
	// status of SCAN.
	int scan(uint8_t ultrasonic = 0)
	{
		WindowRequest request;
		request.width = kPixels * 4;
		request.length = kLines * 4;
		request.bytesPerLine = kPixels * 3;
		request.lineCount = kLines;
		std::vector<uint8_t> window = windowBlock(request);
		window[kUltrasonicByte] = ultrasonic;
		EXPECT_EQ(exchange(path(), setWindowBlock(), 0, window).status, 0);
		EXPECT_EQ(exchange(path(), simpleBlock(0x16)).status, 0);
		const int status = exchange(path(), simpleBlock(0x1B, 0x80)).status;
		refusal = status == 2 ? sense() : std::vector<uint8_t>{};
		EXPECT_EQ(exchange(path(), simpleBlock(0x17)).status, 0);
		return status;
	}

	// Key, ASC and ASCQ of the sense data now.
	std::vector<uint8_t> sense()
	{
		const auto data = exchange(path(), requestSenseBlock(), 22).dataIn;
		return { static_cast<uint8_t>(data[2] & 0x0F), data[12], data[13] };
	}

	// The first pixel of row `row` of the image of the last window.
	std::vector<uint8_t> pixelOfRow(uint32_t row)
	{
		const auto image = scanner->rawImage();
		const size_t at = static_cast<size_t>(row) * kPixels * 3;
		return { image.begin() + at, image.begin() + at + 3 };
	}

	std::vector<uint8_t> refusal;
	const std::vector<uint8_t> red{ 0xFF, 0, 0 }, green{ 0, 0xFF, 0 }, blue{ 0, 0, 0xFF }, white{ 0xFF, 0xFF, 0xFF };
};

TEST_F(SimFeederTest, EachScanTakesTheNextSheetUntilTheFeederIsEmpty)
{
	EXPECT_TRUE(scanner->usesFeeder());
	ASSERT_EQ(scan(), 0);
	EXPECT_EQ(pixelOfRow(kLines - 1), red);
	ASSERT_EQ(scan(), 0);
	EXPECT_EQ(pixelOfRow(kLines / 2 - 1), blue);
	EXPECT_EQ(pixelOfRow(kLines / 2), white); // after the short sheet's end
	ASSERT_EQ(scan(), 0);
	EXPECT_EQ(pixelOfRow(0), green);
	EXPECT_EQ(scanner->sheetsInFeeder(), 0u);

	EXPECT_EQ(scan(), 2);
	EXPECT_EQ(refusal, (std::vector<uint8_t>{ 0x02, 0x3A, 0x00 }));
	EXPECT_FALSE(scanner->scanning());

	std::vector<std::unique_ptr<sim::DocumentSource>> more;
	more.push_back(sheetOf(0, 0, 0xFF, kLines));
	scanner->loadFeeder(std::move(more));
	ASSERT_EQ(scan(), 0);
	EXPECT_EQ(pixelOfRow(0), blue);
	scanner->emptyFeeder();
	EXPECT_EQ(scan(), 2);
}

TEST_F(SimFeederTest, JamTakesOneSheetOut)
{
	scanner->jamFeederAt(2);
	ASSERT_EQ(scan(), 0);
	EXPECT_EQ(scan(), 2);
	EXPECT_EQ(refusal, (std::vector<uint8_t>{ 0x03, 0x3B, 0x05 }));
	ASSERT_EQ(scan(), 0);
	EXPECT_EQ(pixelOfRow(0), green);
}

TEST_F(SimFeederTest, DoubleFeedIsReportedOnlyWithTheSensorOn)
{
	// Sensor off: the two sheets make the first one's image.
	scanner->doubleFeedAt(1);
	ASSERT_EQ(scan(0), 0);
	EXPECT_EQ(pixelOfRow(0), red);
	EXPECT_EQ(scanner->sheetsInFeeder(), 1u);

	scanner->doubleFeedAt(1);
	EXPECT_EQ(scan(30), 2);
	EXPECT_EQ(refusal, (std::vector<uint8_t>{ 0x03, 0x3B, 0x80 }));
	EXPECT_EQ(scan(30), 2);
	EXPECT_EQ(refusal, (std::vector<uint8_t>{ 0x02, 0x3A, 0x00 }));
}

TEST(SimFeederSheets, FolderGivesItsImagesInNameOrder)
{
	test::TempDir dir;
	writePnm(dir.file("b.pgm"), 30, 40, 0x20);
	writePnm(dir.file("a.pnm"), 60, 90, 0x10);
	std::ofstream(dir.file("notes.txt")) << "not a sheet";
	std::string error;
	const auto sheets = sim::loadSheets(dir.path(), &error);
	ASSERT_EQ(sheets.size(), 2u) << error;
	EXPECT_EQ(sheets[0]->pageSize().width, 60u * 4);
	EXPECT_EQ(sheets[1]->pageSize().height, 40u * 4);
	EXPECT_EQ(sim::loadSheets("chart", &error).size(), 1u);

	test::TempDir empty;
	EXPECT_TRUE(sim::loadSheets(empty.path(), &error).empty());
	EXPECT_EQ(error, empty.path() + ": no PNG or PNM files");
}

} // namespace torvane::simtest
