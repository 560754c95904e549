// SPDX-License-Identifier: MIT
// The image files: pixels, 1-bit polarity and resolution as standard readers
// see them, and output files that are complete or absent.

#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>

#include <csignal>
#include <thread>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <tiffio.h>

#include "image_reader.h"
#include "image_writer.h"
#include "process_runner.h"
#include "support/test_environment.h"

namespace torvane::scan {
namespace {

using test::DecodedImage;

// A 5 x 3 colour picture, a 7 x 2 grey one and a 16 x 2 line art one, as the
// driver delivers them.
const std::vector<uint8_t> kColour = [] {
	std::vector<uint8_t> bytes;
	for (int y = 0; y < 3; ++y)
		for (int x = 0; x < 5; ++x)
			for (int c = 0; c < 3; ++c)
				bytes.push_back(static_cast<uint8_t>(y * 60 + x * 10 + c));
	return bytes;
}();
const std::vector<uint8_t> kGrey = { 0, 10, 20, 128, 200, 254, 255, 255, 254, 200, 128, 20, 10, 0 };
// Driver line art: 1 is black. Line 0: four black, four white, four white, four black.
const std::vector<uint8_t> kBits = { 0xF0, 0x0F, 0xAA, 0x55 };

ImageGeometry geometry(PixelKind kind, uint32_t width, uint32_t height, uint32_t dpi)
{
	ImageGeometry g;
	g.kind = kind;
	g.width = width;
	g.height = height;
	g.dpi = dpi;
	g.bytesPerLine = kind == PixelKind::Bilevel ? (width + 7) / 8 : width * (kind == PixelKind::Colour ? 3 : 1);
	return g;
}

// Writes `bytes` through OutputFile and the writer, line by line in two calls.
void writeImage(OutputFormat format, const std::string &path, const ImageGeometry &g, const std::vector<uint8_t> &bytes)
{
	OutputFile output(path);
	std::string error;
	const int fd = output.create(&error, format == OutputFormat::Tiff);
	ASSERT_GE(fd, 0) << error;
	auto writer = createImageWriter(format, fd, g, &error);
	ASSERT_TRUE(writer) << error;
	ASSERT_TRUE(writer->writeLines(bytes.data(), 1));
	ASSERT_TRUE(writer->writeLines(bytes.data() + g.bytesPerLine, g.height - 1));
	ASSERT_TRUE(writer->finish()) << writer->error();
	ASSERT_TRUE(output.commit(&error)) << error;
}

void expectRows(const DecodedImage &image, const std::vector<uint8_t> &bytes, uint32_t bytesPerLine)
{
	ASSERT_EQ(image.rows.size() * bytesPerLine, bytes.size());
	for (size_t y = 0; y < image.rows.size(); ++y)
		EXPECT_EQ(image.rows[y], std::vector<uint8_t>(bytes.begin() + y * bytesPerLine,
							      bytes.begin() + (y + 1) * bytesPerLine))
			<< "line " << y;
}

TEST(ImageWriter, PngColourGreyAndLineArt)
{
	torvane::test::TempDir dir;

	writeImage(OutputFormat::Png, dir.file("c.png"), geometry(PixelKind::Colour, 5, 3, 150), kColour);
	DecodedImage c = test::readPng(dir.file("c.png"));
	ASSERT_TRUE(c.ok) << c.error;
	EXPECT_EQ(c.width, 5u);
	EXPECT_EQ(c.height, 3u);
	EXPECT_EQ(c.channels, 3u);
	EXPECT_EQ(c.bitDepth, 8u);
	// 5906 pixels per metre: 150.01 dpi, which readers round to 150.
	EXPECT_EQ(std::lround(c.dpiX), 150);
	EXPECT_EQ(std::lround(c.dpiY), 150);
	expectRows(c, kColour, 15);

	writeImage(OutputFormat::Png, dir.file("g.png"), geometry(PixelKind::Grey, 7, 2, 300), kGrey);
	DecodedImage g = test::readPng(dir.file("g.png"));
	ASSERT_TRUE(g.ok) << g.error;
	EXPECT_EQ(g.channels, 1u);
	EXPECT_EQ(g.bitDepth, 8u);
	EXPECT_EQ(std::lround(g.dpiX), 300);
	expectRows(g, kGrey, 7);

	// PNG's 1-bit grey has 0 black: the driver's bits go in inverted.
	writeImage(OutputFormat::Png, dir.file("b.png"), geometry(PixelKind::Bilevel, 16, 2, 600), kBits);
	DecodedImage b = test::readPng(dir.file("b.png"));
	ASSERT_TRUE(b.ok) << b.error;
	EXPECT_EQ(b.bitDepth, 1u);
	EXPECT_EQ(b.channels, 1u);
	EXPECT_EQ(std::lround(b.dpiX), 600);
	expectRows(b, { 0x0F, 0xF0, 0x55, 0xAA }, 2);
	EXPECT_EQ(b.grey(0, 0), 0);   // black
	EXPECT_EQ(b.grey(4, 0), 255); // white
	EXPECT_EQ(b.grey(15, 0), 0);
}

TEST(ImageWriter, TiffLineArtIsG4MinIsWhite)
{
	torvane::test::TempDir dir;

	writeImage(OutputFormat::Tiff, dir.file("b.tif"), geometry(PixelKind::Bilevel, 16, 2, 300), kBits);
	DecodedImage b = test::readTiff(dir.file("b.tif"));
	ASSERT_TRUE(b.ok) << b.error;
	EXPECT_EQ(b.compression, COMPRESSION_CCITTFAX4);
	EXPECT_EQ(b.photometric, PHOTOMETRIC_MINISWHITE);
	EXPECT_EQ(b.bitDepth, 1u);
	EXPECT_EQ(b.dpiX, 300);
	EXPECT_EQ(b.dpiY, 300);
	expectRows(b, kBits, 2); // min-is-white: 1 stays black
	EXPECT_EQ(b.grey(0, 0), 0);
	EXPECT_EQ(b.grey(4, 0), 255);

	writeImage(OutputFormat::Tiff, dir.file("c.tif"), geometry(PixelKind::Colour, 5, 3, 75), kColour);
	DecodedImage c = test::readTiff(dir.file("c.tif"));
	ASSERT_TRUE(c.ok) << c.error;
	EXPECT_EQ(c.photometric, PHOTOMETRIC_RGB);
	EXPECT_EQ(c.compression, COMPRESSION_LZW);
	EXPECT_EQ(c.channels, 3u);
	EXPECT_EQ(c.dpiX, 75);
	expectRows(c, kColour, 15);

	writeImage(OutputFormat::Tiff, dir.file("g.tif"), geometry(PixelKind::Grey, 7, 2, 1200), kGrey);
	DecodedImage g = test::readTiff(dir.file("g.tif"));
	ASSERT_TRUE(g.ok) << g.error;
	EXPECT_EQ(g.photometric, PHOTOMETRIC_MINISBLACK);
	EXPECT_EQ(g.dpiX, 1200);
	expectRows(g, kGrey, 7);
}

TEST(ImageWriter, PnmHeadersAndData)
{
	torvane::test::TempDir dir;

	writeImage(OutputFormat::Pnm, dir.file("c.ppm"), geometry(PixelKind::Colour, 5, 3, 150), kColour);
	DecodedImage c = test::readPnm(dir.file("c.ppm"));
	ASSERT_TRUE(c.ok) << c.error;
	EXPECT_EQ(c.header, "P6\n# torvane-scan resolution 150 dpi\n5 3\n255\n");
	expectRows(c, kColour, 15);

	writeImage(OutputFormat::Pnm, dir.file("g.pgm"), geometry(PixelKind::Grey, 7, 2, 300), kGrey);
	DecodedImage g = test::readPnm(dir.file("g.pgm"));
	ASSERT_TRUE(g.ok) << g.error;
	EXPECT_EQ(g.header, "P5\n# torvane-scan resolution 300 dpi\n7 2\n255\n");
	expectRows(g, kGrey, 7);

	// PBM has 1 black, as the driver: the bits go in unchanged.
	writeImage(OutputFormat::Pnm, dir.file("b.pbm"), geometry(PixelKind::Bilevel, 16, 2, 300), kBits);
	DecodedImage b = test::readPnm(dir.file("b.pbm"));
	ASSERT_TRUE(b.ok) << b.error;
	EXPECT_EQ(b.header, "P4\n# torvane-scan resolution 300 dpi\n16 2\n");
	expectRows(b, kBits, 2);
	EXPECT_EQ(b.grey(0, 0), 0);
}

TEST(ImageWriter, DiskFullIsReportedAtTheEnd)
{
	for (OutputFormat format : { OutputFormat::Png, OutputFormat::Pnm }) {
		const int fd = ::open("/dev/full", O_WRONLY);
		ASSERT_GE(fd, 0);
		std::string error;
		auto writer = createImageWriter(format, fd, geometry(PixelKind::Grey, 7, 2, 300), &error);
		bool ok = writer && writer->writeLines(kGrey.data(), 2);
		ok = ok && writer->finish();
		EXPECT_FALSE(ok);
		const std::string message = writer ? writer->error() : error;
		EXPECT_NE(message.find("No space left on device"), std::string::npos) << message;
	}
}

TEST(OutputFile, CompleteOrNothing)
{
	torvane::test::TempDir dir;
	const std::string path = dir.file("page.pnm");
	{
		std::ofstream(path) << "older scan";
		OutputFile output(path);
		std::string error;
		const int fd = output.create(&error);
		ASSERT_GE(fd, 0);
		EXPECT_EQ(::write(fd, "half", 4), 4);
		::close(fd);
		// Unnamed while written: nothing a killed scan could leave behind.
		EXPECT_EQ(output.temporaryPath(), "");
		EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), std::filesystem::directory_iterator()), 1);
		// Not committed: the half-written file goes, the older one stays.
	}
	EXPECT_EQ(torvane::test::readFile(path), "older scan");
	EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), std::filesystem::directory_iterator()), 1);

	OutputFile output(path);
	std::string error;
	const int fd = output.create(&error);
	ASSERT_GE(fd, 0);
	EXPECT_EQ(::write(fd, "new", 3), 3);
	::close(fd);
	ASSERT_TRUE(output.commit(&error)) << error;
	EXPECT_EQ(torvane::test::readFile(path), "new");
	EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), std::filesystem::directory_iterator()), 1);
}

TEST(OutputFile, UnwritablePlacesAreRefusedWithTheReason)
{
	torvane::test::TempDir dir;
	std::string error;
	EXPECT_LT(OutputFile("/nonexistent-folder/page.png").create(&error), 0);
	EXPECT_EQ(error, "cannot write '/nonexistent-folder/page.png': No such file or directory");

	EXPECT_LT(OutputFile(dir.path()).create(&error), 0);
	EXPECT_EQ(error, "'" + dir.path() + "' is a folder");

	EXPECT_LT(OutputFile(dir.path() + "/").create(&error), 0);
	EXPECT_EQ(error, "'" + dir.path() + "/' names a folder, not a file");

	if (::geteuid() != 0) {
		std::filesystem::permissions(dir.path(), std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
		EXPECT_LT(OutputFile(dir.file("page.png")).create(&error), 0);
		EXPECT_EQ(error, "cannot write '" + dir.file("page.png") + "': Permission denied");
		std::filesystem::permissions(dir.path(), std::filesystem::perms::owner_all);
	}
}

// Devices, FIFOs and links are written through, never replaced by a file.
TEST(OutputFile, SpecialFilesAreWrittenInPlace)
{
	torvane::test::TempDir dir;
	const ImageGeometry g = geometry(PixelKind::Grey, 7, 2, 300);
	const std::string pnm = "P5\n# torvane-scan resolution 300 dpi\n7 2\n255\n" + std::string(kGrey.begin(), kGrey.end());

	// A FIFO gets the bytes (TIFF, which seeks back, through a copy).
	const std::string fifo = dir.file("fifo");
	ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
	for (OutputFormat format : { OutputFormat::Pnm, OutputFormat::Tiff }) {
		std::string received;
		std::thread reader([&] { received = torvane::test::readFile(fifo); });
		writeImage(format, fifo, g, kGrey);
		reader.join();
		EXPECT_TRUE(std::filesystem::is_fifo(fifo));
		if (format == OutputFormat::Pnm)
			EXPECT_EQ(received, pnm);
		else
			EXPECT_EQ(received.substr(0, 2), "II");
	}

	// A link stays a link; its target gets the image.
	std::ofstream(dir.file("target.pgm")) << "older";
	std::filesystem::create_symlink("target.pgm", dir.file("link.pgm"));
	writeImage(OutputFormat::Pnm, dir.file("link.pgm"), g, kGrey);
	EXPECT_TRUE(std::filesystem::is_symlink(dir.file("link.pgm")));
	EXPECT_EQ(torvane::test::readFile(dir.file("target.pgm")), pnm);
	// ... also a link to a file yet to be made.
	std::filesystem::create_symlink("new.pgm", dir.file("dangling.pgm"));
	writeImage(OutputFormat::Pnm, dir.file("dangling.pgm"), g, kGrey);
	EXPECT_TRUE(std::filesystem::is_symlink(dir.file("dangling.pgm")));
	EXPECT_EQ(torvane::test::readFile(dir.file("new.pgm")), pnm);

	// A full device keeps being a device, and the write fails.
	const std::string device = test::fullDevice(dir.path());
	OutputFile output(device);
	std::string error;
	auto writer = createImageWriter(OutputFormat::Png, output.create(&error), g, &error);
	ASSERT_TRUE(writer) << error;
	EXPECT_TRUE(output.writesInPlace());
	EXPECT_FALSE(writer->writeLines(kGrey.data(), 2) && writer->finish());
	EXPECT_NE(writer->error().find("No space left on device"), std::string::npos) << writer->error();
	EXPECT_TRUE(std::filesystem::is_character_file(device));
}

// Writes 1400 bytes under a file size limit of 100 and ends the process:
// 4 when the writer reported the error (printed), 0 when it did not.
[[noreturn]] void writeUnderSizeLimit(const std::string &path)
{
	const rlimit limit{ 100, 100 };
	::setrlimit(RLIMIT_FSIZE, &limit);
	std::signal(SIGXFSZ, SIG_IGN);
	OutputFile output(path);
	std::string error;
	auto writer = createImageWriter(OutputFormat::Pnm, output.create(&error), geometry(PixelKind::Grey, 70, 20, 300), &error);
	const std::vector<uint8_t> lines(1400, 7);
	const bool written = writer && writer->writeLines(lines.data(), 20) && writer->finish();
	std::fprintf(stderr, "%s\n", writer ? writer->error().c_str() : error.c_str());
	std::_Exit(written ? 0 : 4);
}

// A file size limit cuts a write short: the writer says so.
TEST(ImageWriter, AShortWriteIsAnError)
{
	torvane::test::TempDir dir;
	EXPECT_EXIT(writeUnderSizeLimit(dir.file("big.pgm")), ::testing::ExitedWithCode(4), "File too large");
}

TEST(OutputFile, PartFilesOfEndedProcessesAreRemoved)
{
	torvane::test::TempDir dir;
	const pid_t ended = ::fork();
	if (ended == 0)
		std::_Exit(0);
	::waitpid(ended, nullptr, 0);
	const std::vector<std::string> gone = { ".page.png." + std::to_string(ended) + ".0.part" };
	const std::vector<std::string> kept = { ".page.png." + std::to_string(::getpid()) + ".1.part",
						".other.png." + std::to_string(ended) + ".0.part", ".page.png.x.0.part",
						"page.png" };
	for (const auto &names : { gone, kept })
		for (const std::string &name : names)
			std::ofstream(dir.file(name)) << "x";
	removeDeadPartFiles(dir.path() + "/", "page.png");
	EXPECT_FALSE(std::filesystem::exists(dir.file(gone[0])));
	for (const std::string &name : kept)
		EXPECT_TRUE(std::filesystem::exists(dir.file(name))) << name;
}

} // namespace
} // namespace torvane::scan
