// SPDX-License-Identifier: MIT
// torvane-scan end to end: the program against a torvane-sim in another
// process, the images it writes read back with the standard libraries and
// compared with the simulator's document.

#include <cmath>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <torvane_sim/document.h>

#include "image_reader.h"
#include "process_runner.h"
#include "support/test_environment.h"

namespace torvane::scan {
namespace {

using test::DecodedImage;
using test::RunResult;

// What a pixel of the scan should be, from the document's colour there.
enum class Expect {
	Colour,	 // the three channels
	Grey,	 // grey made from colour by the driver: (3 R + 6 G + B) / 10
	LineArt, // line art without a filter: the red channel below 128 is black
};

struct Comparison {
	size_t pixels = 0;
	size_t compared = 0;   // pixels in flat parts of the document
	size_t mismatched = 0; // compared pixels off by more than the tolerance
	double meanError = 0;  // over the compared pixels
};

// Compares every pixel that lies in a flat part of the test chart (the same
// colour two pixels around it) with the chart's colour at the pixel's centre.
// Edges and fine lines are left out: there the resampled value depends on the
// exact filter, not on whether the scan is right.
Comparison compareWithChart(const DecodedImage &image, uint32_t dpi, double leftMm, double topMm, Expect expect)
{
	Comparison result;
	const double step = 1200.0 / dpi; // 1/1200 inch per pixel
	const double left = std::round(leftMm / 25.4 * 300) * 4;
	const double top = std::round(topMm / 25.4 * 300) * 4;
	const int tolerance = expect == Expect::LineArt ? 0 : 4;
	double errorSum = 0;
	for (uint32_t y = 0; y < image.height; ++y) {
		for (uint32_t x = 0; x < image.width; ++x) {
			++result.pixels;
			const double u = left + (x + 0.5) * step;
			const double v = top + (y + 0.5) * step;
			uint8_t centre[3];
			sim::TestChart::colourAt(static_cast<uint32_t>(u), static_cast<uint32_t>(v), centre);
			bool flat = true;
			for (int dy = -2; dy <= 2 && flat; ++dy)
				for (int dx = -2; dx <= 2 && flat; ++dx) {
					uint8_t around[3];
					const double au = u + dx * step, av = v + dy * step;
					if (au < 0 || av < 0) {
						flat = false;
						break;
					}
					sim::TestChart::colourAt(static_cast<uint32_t>(au), static_cast<uint32_t>(av), around);
					flat = around[0] == centre[0] && around[1] == centre[1] && around[2] == centre[2];
				}
			if (!flat)
				continue;
			++result.compared;
			int error = 0;
			if (expect == Expect::Colour) {
				for (int c = 0; c < 3; ++c)
					error = std::max(error, std::abs(image.sample(x, y, c) - centre[c]));
			} else if (expect == Expect::Grey) {
				const int grey = (3 * centre[0] + 6 * centre[1] + centre[2]) / 10;
				error = std::abs(image.grey(x, y) - grey);
			} else {
				const int black = centre[0] < 128 ? 0 : 255;
				error = image.grey(x, y) == black ? 0 : 255;
			}
			errorSum += error;
			if (error > tolerance)
				++result.mismatched;
		}
	}
	result.meanError = result.compared ? errorSum / result.compared : 0;
	return result;
}

void expectMatches(const Comparison &c, double meanLimit)
{
	// Most of the chart is flat: a good part of the image is compared.
	EXPECT_GT(c.compared, c.pixels * 4 / 10) << c.compared << " of " << c.pixels;
	EXPECT_LE(c.mismatched, c.compared / 100) << c.mismatched << " of " << c.compared << " pixels off";
	EXPECT_LE(c.meanError, meanLimit);
}

class EndToEnd : public ::testing::Test
{
protected:
	std::string devices() const { return dir_.file("dev"); }

	void startSimulator(std::vector<std::string> args = { "--full-speed" })
	{
		sim_ = std::make_unique<test::SimulatorProcess>(devices(), dir_.path(), args);
		ASSERT_TRUE(sim_->ready()) << "torvane-sim did not start";
	}

	RunResult scan(const std::vector<std::string> &args, int timeoutMs = 120000)
	{
		return test::run(test::binaryPath("torvane-scan"), args, { { "TORVANE_DEVICE_DIR", devices() } },
				 dir_.path(), timeoutMs);
	}

	std::string file(const std::string &name) const { return dir_.file(name); }

	// Files the output folder holds besides the children's output.
	std::vector<std::string> leftovers() const
	{
		std::vector<std::string> names;
		for (const auto &entry : std::filesystem::directory_iterator(dir_.path())) {
			const std::string name = entry.path().filename().string();
			if (name.rfind("child", 0) != 0 && name != "dev")
				names.push_back(name);
		}
		return names;
	}

	// Waits until image lines arrive in the (unnamed) output of `child`; PNM
	// is raw bytes, so its size is what has been read.
	bool underway(const test::ChildProcess &child) const
	{
		for (int i = 0; i < 3000; ++i) {
			if (test::bytesBeingWritten(child.pid(), dir_.path()) > 100000)
				return true;
			std::this_thread::sleep_for(std::chrono::milliseconds(10));
		}
		return false;
	}

	std::unique_ptr<test::ChildProcess> startScan(const std::vector<std::string> &args) const
	{
		return std::make_unique<test::ChildProcess>(test::binaryPath("torvane-scan"), args,
							    test::EnvironmentChanges{ { "TORVANE_DEVICE_DIR", devices() } },
							    dir_.path());
	}

	torvane::test::TempDir dir_;
	std::unique_ptr<test::SimulatorProcess> sim_;
};

// The area scanned: colour patches, grey ramps and the hue sweep of the chart.
const std::vector<std::string> kArea = { "--left", "10", "--top", "15", "--width", "150", "--length", "80" };

std::vector<std::string> withArea(std::vector<std::string> args)
{
	args.insert(args.end(), kArea.begin(), kArea.end());
	return args;
}

TEST_F(EndToEnd, ColourPngMatchesTheDocument)
{
	startSimulator();
	const RunResult r = scan(withArea({ "-r", "150", "-m", "color", "-o", file("colour.png") }));
	ASSERT_EQ(r.exitCode, 0) << r.err;
	EXPECT_NE(r.err.find("wrote " + file("colour.png") + ": 886 x 472 pixels, color, 150 dpi"), std::string::npos)
		<< r.err;

	const DecodedImage image = test::readPng(file("colour.png"));
	ASSERT_TRUE(image.ok) << image.error;
	EXPECT_EQ(image.width, 886u);  // 150 mm (1772/300 inch) at 150 dpi
	EXPECT_EQ(image.height, 472u); // 80 mm (945/300 inch)
	EXPECT_EQ(image.channels, 3u);
	EXPECT_EQ(std::lround(image.dpiX), 150);
	expectMatches(compareWithChart(image, 150, 10, 15, Expect::Colour), 2.0);
}

TEST_F(EndToEnd, GreyPngMatchesTheDocumentAndTiffAndPgmHoldTheSameImage)
{
	startSimulator();
	// Not 300 dpi: there the RM735's colour filters change the colours
	// (grey without a filter is scanned in colour).
	RunResult r = scan(withArea({ "-r", "240", "-m", "gray", "-o", file("grey.png") }));
	ASSERT_EQ(r.exitCode, 0) << r.err;
	const DecodedImage png = test::readPng(file("grey.png"));
	ASSERT_TRUE(png.ok) << png.error;
	EXPECT_EQ(png.width, 1417u);
	EXPECT_EQ(png.height, 756u);
	EXPECT_EQ(png.channels, 1u);
	EXPECT_EQ(png.bitDepth, 8u);
	expectMatches(compareWithChart(png, 240, 10, 15, Expect::Grey), 2.0);

	r = scan(withArea({ "-r", "240", "-m", "gray", "-q", "-o", file("grey.tif") }));
	ASSERT_EQ(r.exitCode, 0) << r.err;
	EXPECT_EQ(r.err, ""); // --quiet
	const DecodedImage tiff = test::readTiff(file("grey.tif"));
	ASSERT_TRUE(tiff.ok) << tiff.error;
	EXPECT_EQ(tiff.dpiX, 240);
	EXPECT_EQ(tiff.rows, png.rows);

	r = scan(withArea({ "-r", "240", "-m", "gray", "-o", file("grey.pgm") }));
	ASSERT_EQ(r.exitCode, 0) << r.err;
	const DecodedImage pgm = test::readPnm(file("grey.pgm"));
	ASSERT_TRUE(pgm.ok) << pgm.error;
	EXPECT_EQ(pgm.pnmMagic, "P5");
	EXPECT_EQ(pgm.dpiX, 240);
	EXPECT_EQ(pgm.rows, png.rows);
}

TEST_F(EndToEnd, LineArtMatchesTheDocumentInEveryFormat)
{
	startSimulator();
	RunResult r = scan(withArea({ "-r", "200", "-m", "lineart", "-o", file("bits.png") }));
	ASSERT_EQ(r.exitCode, 0) << r.err;
	const DecodedImage png = test::readPng(file("bits.png"));
	ASSERT_TRUE(png.ok) << png.error;
	EXPECT_EQ(png.width, 1181u); // every pixel, the last byte of a line padded
	EXPECT_EQ(png.height, 630u);
	EXPECT_EQ(png.bitDepth, 1u);
	EXPECT_EQ(std::lround(png.dpiX), 200);
	expectMatches(compareWithChart(png, 200, 10, 15, Expect::LineArt), 255.0 / 100);

	r = scan(withArea({ "-r", "200", "-m", "lineart", "-o", file("bits.tif") }));
	ASSERT_EQ(r.exitCode, 0) << r.err;
	const DecodedImage tiff = test::readTiff(file("bits.tif"));
	ASSERT_TRUE(tiff.ok) << tiff.error;
	EXPECT_EQ(tiff.compression, 4); // CCITT G4
	EXPECT_EQ(tiff.dpiX, 200);

	r = scan(withArea({ "-r", "200", "-m", "lineart", "-o", file("bits.pbm") }));
	ASSERT_EQ(r.exitCode, 0) << r.err;
	const DecodedImage pbm = test::readPnm(file("bits.pbm"));
	ASSERT_TRUE(pbm.ok) << pbm.error;
	EXPECT_EQ(pbm.pnmMagic, "P4");

	// One image, three polarity conventions: the same black pixels.
	ASSERT_EQ(tiff.width, png.width);
	ASSERT_EQ(pbm.height, png.height);
	size_t differences = 0, black = 0;
	for (uint32_t y = 0; y < png.height; ++y)
		for (uint32_t x = 0; x < png.width; ++x) {
			differences += png.grey(x, y) != tiff.grey(x, y) || png.grey(x, y) != pbm.grey(x, y);
			black += png.grey(x, y) == 0;
		}
	EXPECT_EQ(differences, 0u);
	EXPECT_GT(black, png.width * png.height / 10); // the patches and the frame are there
}

TEST_F(EndToEnd, FullWidthLineArtKeepsEveryPixelAndItsLinesStraight)
{
	// The scanner is 2550 pixels wide at 300 dpi: lines of 319 bytes, the
	// last 2 bits padding, in every format; a line that lost or gained a
	// byte would shift every following line.
	startSimulator();
	std::vector<DecodedImage> images;
	for (const char *name : { "wide.pbm", "wide.tif", "wide.png" }) {
		const RunResult r = scan({ "-r", "300", "-m", "lineart", "--top", "15", "--length", "40", "-o", file(name) });
		ASSERT_EQ(r.exitCode, 0) << r.err;
		const std::string path = file(name);
		images.push_back(path.ends_with(".pbm")	  ? test::readPnm(path)
				 : path.ends_with(".tif") ? test::readTiff(path)
							  : test::readPng(path));
		ASSERT_TRUE(images.back().ok) << name << ": " << images.back().error;
		EXPECT_EQ(images.back().width, 2550u) << name;
		EXPECT_EQ(images.back().height, 472u) << name;
	}
	expectMatches(compareWithChart(images[0], 300, 0, 15, Expect::LineArt), 255.0 / 100);
	size_t differences = 0;
	for (uint32_t y = 0; y < images[0].height; ++y)
		for (uint32_t x = 0; x < images[0].width; ++x)
			differences += images[0].grey(x, y) != images[1].grey(x, y) ||
				       images[0].grey(x, y) != images[2].grey(x, y);
	EXPECT_EQ(differences, 0u);
}

TEST_F(EndToEnd, HalftoneAndFilteredGrey)
{
	startSimulator();
	RunResult r = scan(withArea({ "-r", "100", "-m", "halftone", "--halftone-pattern", "2", "-o", file("ht.pbm") }));
	ASSERT_EQ(r.exitCode, 0) << r.err;
	const DecodedImage halftone = test::readPnm(file("ht.pbm"));
	ASSERT_TRUE(halftone.ok) << halftone.error;
	EXPECT_EQ(halftone.width, 590u);
	EXPECT_EQ(halftone.height, 315u);

	r = scan(withArea({ "-r", "300", "-m", "gray", "--filter", "green", "-o", file("green.png") }));
	ASSERT_EQ(r.exitCode, 0) << r.err;
	const DecodedImage green = test::readPng(file("green.png"));
	ASSERT_TRUE(green.ok) << green.error;
	// The first patch row: red, green, blue... at 15 + 10 mm: the red patch
	// is dark through a green filter, the green one light.
	const uint32_t y = static_cast<uint32_t>((25.0 - 15.0) / 25.4 * 300);
	const uint32_t redX = static_cast<uint32_t>((20.0 - 10.0) / 25.4 * 300);
	const uint32_t greenX = static_cast<uint32_t>((45.0 - 10.0) / 25.4 * 300);
	EXPECT_LE(green.grey(redX, y), 4);
	EXPECT_GE(green.grey(greenX, y), 250);
}

TEST_F(EndToEnd, CancelMidScanLeavesTheScannerUsable)
{
	// Slow enough that the scan is surely under way when the signal comes.
	startSimulator({ "--rate", "2000000" });
	test::ChildProcess scanning(test::binaryPath("torvane-scan"), { "-r", "300", "-o", file("page.pnm") },
				    { { "TORVANE_DEVICE_DIR", devices() } }, dir_.path());
	ASSERT_TRUE(scanning.started());
	ASSERT_TRUE(underway(scanning)) << "no image data arrived";
	scanning.signal(SIGINT);
	const RunResult r = scanning.wait(60000);
	EXPECT_TRUE(r.exited) << "ended by signal " << r.signal;
	EXPECT_EQ(r.exitCode, 130) << r.err;
	EXPECT_NE(r.err.find("torvane-scan: scan cancelled; nothing was written"), std::string::npos) << r.err;
	EXPECT_EQ(leftovers(), std::vector<std::string>{}); // neither page.png nor a half-written part

	// No busy flag is left: the next scan runs at once.
	sim_->command("fullspeed on");
	const RunResult again = scan(withArea({ "-r", "150", "-o", file("again.png") }));
	EXPECT_EQ(again.exitCode, 0) << again.err;
	EXPECT_TRUE(test::readPng(file("again.png")).ok);
}

TEST_F(EndToEnd, BadInputGetsAClearMessageAndNoCrash)
{
	struct Case {
		std::vector<std::string> args;
		int exitCode;
		std::string message;
	};
	const std::vector<Case> withoutScanner = {
		{ { "--bogus" }, 1, "torvane-scan: unknown option '--bogus' (see --help)\n" },
		{ { "-r", "0", "-o", "a.png" }, 1, "torvane-scan: invalid value '0' for --resolution: the resolution must be a whole number of dpi from 50 "
						   "to 1200 (see --help)\n" },
		{ { "-r", "5000", "-o", "a.png" }, 1, "torvane-scan: invalid value '5000' for --resolution: the resolution must be a whole number of dpi from "
						      "50 to 1200 (see --help)\n" },
	};
	for (const Case &c : withoutScanner) {
		const RunResult r = scan(c.args);
		EXPECT_TRUE(r.exited);
		EXPECT_EQ(r.exitCode, c.exitCode) << r.err;
		EXPECT_EQ(r.err, c.message);
	}

	// No scanner in the device folder.
	std::filesystem::create_directories(devices());
	RunResult r = scan({ "-o", file("none.png") });
	EXPECT_EQ(r.exitCode, 2);
	EXPECT_EQ(r.err, "torvane-scan: no supported scanner found in TORVANE_DEVICE_DIR=" + devices() +
				 " (is torvane-sim serving it?)\n");
	r = test::run(test::binaryPath("torvane-scan"), { "--no-simulate", "--info" },
		      { { "TORVANE_DEVICE_DIR", std::nullopt } }, dir_.path());
	EXPECT_EQ(r.exitCode, 2) << r.err;
	EXPECT_EQ(r.err, "torvane-scan: no supported scanner found\n");

	startSimulator();
	r = scan({ "--left", "300", "-o", file("outside.png") });
	EXPECT_EQ(r.exitCode, 1);
	EXPECT_EQ(r.err, "torvane-scan: --left 300.0 mm lies outside the scanner, whose width is 215.9 mm\n");
	r = scan({ "--length", "20in", "-o", file("outside.png") });
	EXPECT_EQ(r.exitCode, 1);
	EXPECT_NE(r.err.find("goes beyond the scanner's length of"), std::string::npos) << r.err;

	r = scan({ "-o", "/nonexistent-folder/page.png" });
	EXPECT_EQ(r.exitCode, 4);
	EXPECT_EQ(r.err, "torvane-scan: cannot write '/nonexistent-folder/page.png': No such file or directory\n");

	r = scan({ "--model", "KT918", "-o", file("model.png") });
	EXPECT_EQ(r.exitCode, 2);
	EXPECT_EQ(r.err,
		  "torvane-scan: the scanner found is the model RM735, but the driver library loaded is KT918.so: run "
		  "with --model RM735\n");

	EXPECT_EQ(leftovers(), std::vector<std::string>{});

	// After all of these the scanner still scans.
	r = scan(withArea({ "-r", "75", "-o", file("fine.png") }));
	EXPECT_EQ(r.exitCode, 0) << r.err;
}

TEST_F(EndToEnd, AKT918IsScannedWithItsOwnLibraryAndModelStillForcesOne)
{
#if defined(__SANITIZE_ADDRESS__)
	// The found model's library goes into a loader namespace of its own,
	// which would start a second AddressSanitizer runtime there.
	GTEST_SKIP() << "a library in a namespace of its own cannot run under AddressSanitizer";
#endif
	startSimulator({ "--full-speed", "--model", "KT918" });
	RunResult r = scan({ "-q", "-m", "lineart", "-y", "30", "-o", file("kt918.pbm") });
	ASSERT_EQ(r.exitCode, 0) << r.err;
	EXPECT_EQ(r.err, "");
	const DecodedImage image = test::readPnm(file("kt918.pbm"));
	ASSERT_TRUE(image.ok) << image.error;
	EXPECT_EQ(image.width, 2550u);
	EXPECT_EQ(image.height, 354u);
	r = scan({ "--list" });
	ASSERT_EQ(r.exitCode, 0) << r.err;
	EXPECT_EQ(r.out.rfind("KT918 (vendor ", 0), 0u) << r.out;
	EXPECT_TRUE(r.out.ends_with("/KT918.so\n")) << r.out;

	r = scan({ "--model", "RM735", "-o", file("forced.png") });
	EXPECT_EQ(r.exitCode, 2);
	EXPECT_EQ(r.err, "torvane-scan: the scanner found is the model KT918, but the driver library loaded is RM735.so: "
			 "run with --model KT918\n");
	r = scan({ "--library", test::binaryPath("../lib/RM735.so"), "--list" });
	ASSERT_EQ(r.exitCode, 0) << r.err;
	EXPECT_NE(r.out.find("needs --model KT918"), std::string::npos) << r.out;
}

TEST_F(EndToEnd, ServiceActions)
{
	startSimulator({ "--full-speed", "--press-after", "1500:05" });

	RunResult r = scan({ "--list" });
	ASSERT_EQ(r.exitCode, 0) << r.err;
	EXPECT_EQ(r.out.rfind("RM735 (vendor ", 0), 0u) << r.out;
	EXPECT_NE(r.out.find("RM735.so"), std::string::npos) << r.out;

	r = scan({ "--info" });
	ASSERT_EQ(r.exitCode, 0) << r.err;
	EXPECT_NE(r.out.find("Product:        RM735\n"), std::string::npos) << r.out;
	EXPECT_NE(r.out.find("Push buttons:   2\n"), std::string::npos) << r.out;
	EXPECT_NE(r.out.find("Interface:      USB 2.0 (USB)\n"), std::string::npos) << r.out;

	r = scan({ "--nvm-read" });
	ASSERT_EQ(r.exitCode, 0) << r.err;
	EXPECT_EQ(r.out.rfind("0000  ", 0), 0u) << r.out;
	EXPECT_NE(r.out.find("Init text:"), std::string::npos);

	r = scan({ "--nvm-backup", file("nvm.bin") });
	ASSERT_EQ(r.exitCode, 0) << r.err;
	EXPECT_EQ(std::filesystem::file_size(file("nvm.bin")), 128u);
	r = scan({ "--nvm-restore", file("nvm.bin") });
	EXPECT_EQ(r.exitCode, 0) << r.err;
	EXPECT_EQ(r.err, "torvane-scan: restored the non-volatile memory from " + file("nvm.bin") + "\n");

	std::ofstream(file("short.bin")) << "not a record";
	r = scan({ "--nvm-restore", file("short.bin") });
	EXPECT_EQ(r.exitCode, 4);
	EXPECT_EQ(r.err, "torvane-scan: '" + file("short.bin") +
				 "' holds 12 bytes; a backup of the non-volatile memory holds exactly 128: nothing was "
				 "written\n");

	r = scan({ "--power-save", "15", "--power-off", "240" });
	EXPECT_EQ(r.exitCode, 0) << r.err;
	EXPECT_EQ(r.err, "torvane-scan: power-save time set to 15\ntorvane-scan: power-off time set to 240\n");

	// The simulator presses button 2 (code 05) 1.5 s after its start.
	r = scan({ "--wait-button", "20", "-q" });
	EXPECT_EQ(r.exitCode, 0) << r.err;
	EXPECT_EQ(r.out, "button 2\n");
}

TEST_F(EndToEnd, WaitButtonOnAScannerWithoutButtons)
{
	startSimulator({ "--full-speed", "--model", "KT918" });
	RunResult r = scan({ "--model", "KT918", "--wait-button", "1" });
	EXPECT_EQ(r.exitCode, 6);
	EXPECT_EQ(r.err, "torvane-scan: this scanner has no push buttons\n");
	r = scan({ "--model", "KT918", "--list" });
	EXPECT_EQ(r.exitCode, 0);
	EXPECT_EQ(r.out.rfind("KT918 (vendor ", 0), 0u) << r.out;
}

TEST_F(EndToEnd, BuiltInSimulatorAndDriverLog)
{
	// No device folder and no scanner on USB: the built-in simulated scanner
	// serves the scan.
	const std::string logs = file("logs");
	const RunResult r = test::run(test::binaryPath("torvane-scan"),
				      { "-r", "100", "--width", "50", "--length", "50", "--debug-level", "2", "--log-dir",
					logs, "-o", file("demo.png") },
				      { { "TORVANE_DEVICE_DIR", std::nullopt } }, dir_.path());
	ASSERT_EQ(r.exitCode, 0) << r.err;
	EXPECT_EQ(r.err.rfind("torvane-scan: no scanner found on USB: using a simulated "
			      "RM735",
			      0),
		  0u)
		<< r.err;
	const DecodedImage image = test::readPng(file("demo.png"));
	ASSERT_TRUE(image.ok) << image.error;
	EXPECT_EQ(image.width, 197u); // 50 mm: 591/300 inch
	EXPECT_EQ(image.height, 197u);
	// The driver logged the run into the folder given.
	const std::string log = torvane::test::readFile(logs + "/quorDll.txt");
	EXPECT_NE(log.find("In   0 : InitializeDriver :"), std::string::npos) << log;
	EXPECT_NE(log.find("StartScan"), std::string::npos);
}

// Devices, FIFOs, links and standard output are written through; every
// write error ends in 4; no input aborts the program.
TEST_F(EndToEnd, OutputsThatAreNotPlainFilesAndWriteErrors)
{
	startSimulator();
	const std::string full = test::fullDevice(dir_.path());
	RunResult r = scan(withArea({ "-r", "100", "-o", full, "--format", "png" }));
	EXPECT_EQ(r.exitCode, 4) << r.err;
	EXPECT_NE(r.err.find("No space left on device"), std::string::npos) << r.err;
	r = scan({ "--nvm-backup", full });
	EXPECT_EQ(r.exitCode, 4) << r.err;
	EXPECT_NE(r.err.find("cannot write '" + full + "': No space left on device"), std::string::npos) << r.err;
	EXPECT_TRUE(std::filesystem::is_character_file(full));

	std::filesystem::create_symlink("target.png", file("link.png"));
	r = scan(withArea({ "-r", "100", "-o", file("link.png") }));
	EXPECT_EQ(r.exitCode, 0) << r.err;
	EXPECT_TRUE(std::filesystem::is_symlink(file("link.png")));
	EXPECT_TRUE(test::readPng(file("target.png")).ok);

	r = scan(withArea({ "-r", "50", "-m", "gray", "-q", "-o", "-", "--format", "pnm" }));
	EXPECT_EQ(r.exitCode, 0) << r.err;
	EXPECT_EQ(r.out.rfind("P5\n# torvane-scan resolution 50 dpi\n295 157\n255\n", 0), 0u) << r.out.substr(0, 60);

	// A file size limit: the write is cut short, no signal ends the program.
	r = test::run("/usr/bin/prlimit", { "--fsize=50000", test::binaryPath("torvane-scan"), "-r", "100", "-o", file("cut.pnm") },
		      { { "TORVANE_DEVICE_DIR", devices() } }, dir_.path());
	EXPECT_TRUE(r.exited) << "ended by signal " << r.signal;
	EXPECT_EQ(r.exitCode, 4) << r.err;
	EXPECT_NE(r.err.find("File too large"), std::string::npos) << r.err;
	EXPECT_FALSE(std::filesystem::exists(file("cut.pnm")));

	std::filesystem::create_directories(file("folder"));
	r = scan({ "--nvm-restore", file("folder") });
	EXPECT_TRUE(r.exited) << "ended by signal " << r.signal;
	EXPECT_EQ(r.exitCode, 4);
	EXPECT_EQ(r.err, "torvane-scan: cannot read '" + file("folder") + "': Is a directory\n");

	// A FIFO nobody writes to is refused at once, not waited for (the limit
	// only ends a regression).
	ASSERT_EQ(::mkfifo(file("nvm.fifo").c_str(), 0600), 0);
	for (const std::string &input : { file("nvm.fifo"), std::string("/dev/zero") }) {
		r = scan({ "--nvm-restore", input }, 20000);
		EXPECT_TRUE(r.exited) << "ended by signal " << r.signal;
		EXPECT_EQ(r.exitCode, 4);
		EXPECT_EQ(r.err, "torvane-scan: cannot read '" + input + "': not a regular file\n");
	}
}

// Ctrl-C is looked at between ReadScan calls, and ReadScan returns only with
// all it was asked for: no call may ask for more than a scanned chunk brings
// (48 lines at 300 dpi, 24 lines of a 150 dpi image), or a slow scanner would
// keep a cancel waiting for several chunks.
TEST_F(EndToEnd, ImageReadsNeverWaitForMoreThanAChunk)
{
	startSimulator();
	const RunResult r = scan(withArea({ "-r", "150", "-m", "gray", "--log-dir", file("log"), "-o", file("g.pgm") }));
	ASSERT_EQ(r.exitCode, 0) << r.err;
	const uint32_t lineBytes = 886;
	std::istringstream log(torvane::test::readFile(file("log") + "/quorDll.txt"));
	std::string line;
	int reads = 0;
	uint32_t largest = 0;
	while (std::getline(log, line, '\r'))
		if (line.find("Out  1 : ReadScan : ") != std::string::npos) {
			++reads;
			largest = std::max<uint32_t>(largest, std::stoul(line.substr(line.rfind(' ') + 1)));
		}
	EXPECT_GT(reads, 0);
	EXPECT_LE(largest, 24 * lineBytes);
	std::filesystem::remove_all(file("log"));
}

TEST_F(EndToEnd, AKilledScanLeavesNothingBehind)
{
	startSimulator({ "--rate", "2000000" });
	const auto scanning = startScan({ "-r", "300", "-o", file("page.pnm") });
	ASSERT_TRUE(underway(*scanning)) << "no image data arrived";
	scanning->signal(SIGKILL);
	EXPECT_EQ(scanning->wait().signal, SIGKILL);
	EXPECT_EQ(leftovers(), std::vector<std::string>{});
}

// An unplug during the image data is called one, and leaves no file.
TEST_F(EndToEnd, AnUnplugMidScanIsCalledOne)
{
	startSimulator({ "--rate", "2000000" });
	const auto scanning = startScan({ "-r", "300", "-o", file("page.pnm") });
	ASSERT_TRUE(underway(*scanning)) << "no image data arrived";
	sim_->command("unplug");
	const RunResult r = scanning->wait(60000);
	EXPECT_EQ(r.exitCode, 3) << r.err;
	EXPECT_NE(r.err.find("the scanner was disconnected (driver error 156)"), std::string::npos) << r.err;
	EXPECT_EQ(leftovers(), std::vector<std::string>{});
}

// Another program's scan holds the scanner: torvane-scan waits (and says
// so) up to --wait seconds, fails at once with --wait 0, and stops on Ctrl-C.
TEST_F(EndToEnd, AScannerBusyElsewhereIsWaitedFor)
{
	startSimulator({ "--rate", "2000000" });
	const std::vector<std::string> small = withArea({ "-r", "50", "-o", file("second.png") });
	auto first = startScan({ "-r", "300", "--length", "30", "-o", file("first.pnm") });
	ASSERT_TRUE(underway(*first));
	RunResult r = scan([&] { auto a = small; a.insert(a.end(), { "--wait", "0" }); return a; }());
	EXPECT_EQ(r.exitCode, 3) << r.err;
	EXPECT_NE(r.err.find("scanner busy"), std::string::npos) << r.err;

	r = scan([&] { auto a = small; a.insert(a.end(), { "--wait", "30" }); return a; }());
	EXPECT_EQ(r.exitCode, 0) << r.err;
	EXPECT_NE(r.err.find("torvane-scan: the scanner is busy with another program's scan; waiting up to 30 s"),
		  std::string::npos)
		<< r.err;
	EXPECT_EQ(first->wait().exitCode, 0);
	EXPECT_TRUE(test::readPng(file("second.png")).ok);

	first = startScan({ "-r", "300", "--length", "30", "-o", file("first.pnm") });
	ASSERT_TRUE(underway(*first));
	const auto waiting = startScan(small);
	// Ctrl-C once it says it waits (a slow start under load must not be
	// mistaken for a wait that ignores the signal).
	for (int i = 0; i < 3000 && waiting->errors().find("waiting up to 60 s") == std::string::npos; ++i)
		std::this_thread::sleep_for(std::chrono::milliseconds(10));
	waiting->signal(SIGINT);
	r = waiting->wait(5000);
	EXPECT_EQ(r.exitCode, 130) << r.err;
	EXPECT_NE(r.err.find("waiting up to 60 s"), std::string::npos) << r.err;
	EXPECT_EQ(first->wait().exitCode, 0);
}

} // namespace
} // namespace torvane::scan
