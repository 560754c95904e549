// SPDX-License-Identifier: MIT
// torvane-scan's stacks end to end: five different sheets in torvane-sim's
// feeder to a PDF, a TIFF and numbered PNGs, each page equal to a single scan
// of its sheet; and the ends of a stack: empty, jam, double feed, Ctrl-C.

#include <algorithm>
#include <cmath>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "image_reader.h"
#include "process_runner.h"
#include "support/test_environment.h"

namespace torvane::scan {
namespace {

using test::DecodedImage;
using test::RunResult;

constexpr int kSheets = 5;
// 100 mm x 120 mm at 100 dpi: 393 x 472 pixels (line art too: its lines are padded to whole bytes).
const std::vector<std::string> kArea = { "-r", "100", "--width", "100", "--length", "120", "-q" };
constexpr uint32_t kLines = 472;

// Sheet k at 300 dpi: its own size (the third shorter than the area) and
// its own smooth colours.
void writeSheet(const std::string &path, int k)
{
	const uint32_t width = 1000 + 60 * k, height = k == 2 ? 700 : 1300 + 50 * k;
	std::ofstream file(path, std::ios::binary);
	file << "P6\n"
	     << width << ' ' << height << "\n255\n";
	std::string row(width * 3, '\0');
	for (uint32_t y = 0; y < height; ++y) {
		for (uint32_t x = 0; x < width; ++x) {
			row[x * 3] = static_cast<char>((x / 5 + 40 * k) & 0xFF);
			row[x * 3 + 1] = static_cast<char>((y / 6) & 0xFF);
			row[x * 3 + 2] = static_cast<char>(((x + y) / 9 + 50 * k) & 0xFF);
		}
		file << row;
	}
}

std::string readText(const std::string &path)
{
	std::ifstream in(path);
	return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Largest difference of two images' samples; -1 when their shapes differ.
int largestDifference(const DecodedImage &a, const DecodedImage &b, double *mean = nullptr)
{
	if (!a.ok || !b.ok || a.width != b.width || a.height != b.height || a.channels != b.channels)
		return -1;
	int largest = 0;
	double sum = 0;
	for (uint32_t y = 0; y < a.height; ++y)
		for (uint32_t x = 0; x < a.width; ++x)
			for (uint32_t c = 0; c < a.channels; ++c) {
				const int d = a.bitDepth == 1 ? std::abs(a.grey(x, y) - b.grey(x, y))
							      : std::abs(a.sample(x, y, c) - b.sample(x, y, c));
				largest = std::max(largest, d);
				sum += d;
			}
	if (mean)
		*mean = sum / (double(a.width) * a.height * a.channels);
	return largest;
}

class StackEndToEnd : public ::testing::Test
{
protected:
	void SetUp() override
	{
		std::filesystem::create_directory(file("sheets"));
		for (int k = 0; k < kSheets; ++k)
			writeSheet(file("sheets/sheet" + std::to_string(k) + ".ppm"), k);
		sim_ = std::make_unique<test::SimulatorProcess>(file("dev"), dir_.path(), simArgs_);
		ASSERT_TRUE(sim_->ready());
	}

	// A stdin command of the simulator; waits until it says it is done (a
	// loaded machine may take seconds to decode a stack).
	void command(const std::string &line, const std::string &done)
	{
		const size_t before = count(simOutput(), done);
		sim_->command(line);
		for (int i = 0; i < 6000 && count(simOutput(), done) == before; ++i)
			std::this_thread::sleep_for(std::chrono::milliseconds(10));
		ASSERT_GT(count(simOutput(), done), before) << "the simulator did not answer " << line;
	}
	// Puts the five sheets into the (empty) feeder.
	void loadStack() { command("load " + file("sheets"), "feeder: 5 sheets"); }

	// Each sheet scanned alone (one scan cycle each) into single-K.pnm.
	void scanSinglePages(const std::string &mode)
	{
		loadStack();
		for (int k = 0; k < kSheets; ++k) {
			std::vector<std::string> args = kArea;
			args.insert(args.end(), { "-m", mode, "-o", file("single-" + std::to_string(k) + ".pnm") });
			const RunResult r = scan(args);
			ASSERT_EQ(r.exitCode, 0) << r.err;
		}
	}

	RunResult scan(std::vector<std::string> args)
	{
		return test::run(test::binaryPath("torvane-scan"), args, { { "TORVANE_DEVICE_DIR", file("dev") } },
				 dir_.path(), 120000);
	}

	RunResult tool(const std::string &program, const std::vector<std::string> &args)
	{
		return test::run(program, args, {}, dir_.path());
	}

	std::string simOutput() const
	{
		std::string all;
		for (const auto &entry : std::filesystem::directory_iterator(dir_.path()))
			if (entry.path().extension() == ".out")
				all += readText(entry.path().string());
		return all;
	}

	static size_t count(const std::string &text, const std::string &what)
	{
		size_t n = 0;
		for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
			++n;
		return n;
	}

	DecodedImage single(int k) const { return test::readPnm(file("single-" + std::to_string(k) + ".pnm")); }

	// pdfinfo's page count and qpdf --check's verdict; the sizes of the
	// pages, `pixels` wide at 100 dpi.
	void expectValidPdf(const std::string &path, int pages, uint32_t pixels = 393)
	{
		EXPECT_EQ(tool("/usr/bin/qpdf", { "--check", path }).exitCode, 0);
		const RunResult info = tool("/usr/bin/pdfinfo", { "-f", "1", "-l", "99", path });
		ASSERT_EQ(info.exitCode, 0) << info.err;
		EXPECT_NE(info.out.find("Pages:           " + std::to_string(pages) + "\n"), std::string::npos)
			<< info.out;
		std::istringstream lines(info.out);
		int sized = 0;
		for (std::string line; std::getline(lines, line);) {
			double width = 0, height = 0;
			int page = 0;
			if (std::sscanf(line.c_str(), "Page %d size: %lf x %lf pts", &page, &width, &height) == 3) {
				++sized;
				EXPECT_NEAR(width, pixels * 0.72, 0.01) << line;
				EXPECT_NEAR(height, kLines * 0.72, 0.01) << line;
			}
		}
		EXPECT_EQ(sized, pages);
	}

	// The images of a PDF decoded by pdfimages: img-000.ppm (or .pbm), ...
	std::vector<DecodedImage> pdfImages(const std::string &path)
	{
		const std::string prefix = file("img");
		EXPECT_EQ(tool("/usr/bin/pdfimages", { path, prefix }).exitCode, 0);
		std::vector<DecodedImage> images;
		for (int i = 0;; ++i) {
			char name[32];
			std::snprintf(name, sizeof(name), "-%03d", i);
			std::string found;
			for (const char *extension : { ".ppm", ".pgm", ".pbm" })
				if (std::filesystem::exists(prefix + name + extension))
					found = prefix + name + extension;
			if (found.empty())
				return images;
			images.push_back(test::readPnm(found));
			std::filesystem::remove(found);
		}
	}

	std::string file(const std::string &name) const { return dir_.file(name); }

	torvane::test::TempDir dir_;
	std::vector<std::string> simArgs_ = { "--full-speed" };
	std::unique_ptr<test::SimulatorProcess> sim_;
};

// About 3 s a page: a Ctrl-C lands in the middle of one.
class SlowStackEndToEnd : public StackEndToEnd
{
protected:
	SlowStackEndToEnd() { simArgs_ = { "--rate", "2000000" }; }
};

std::vector<std::string> with(std::vector<std::string> args)
{
	args.insert(args.begin(), kArea.begin(), kArea.end());
	return args;
}

TEST_F(StackEndToEnd, ColourStackToLosslessPdfTiffAndPngsEqualsTheSinglePages)
{
	scanSinglePages("color");

	loadStack();
	RunResult r = scan(with({ "--batch", "--lossless", "-o", file("stack.pdf") }));
	ASSERT_EQ(r.exitCode, 0) << r.err;
	expectValidPdf(file("stack.pdf"), kSheets);
	const std::vector<DecodedImage> pdf = pdfImages(file("stack.pdf"));
	ASSERT_EQ(pdf.size(), size_t(kSheets));

	loadStack();
	r = scan(with({ "--batch", "-o", file("stack.tif") }));
	ASSERT_EQ(r.exitCode, 0) << r.err;
	EXPECT_FALSE(test::readTiff(file("stack.tif"), kSheets).ok); // no sixth page

	loadStack();
	r = scan(with({ "--pages", "9", "-o", file("page-%03d.png") }));
	ASSERT_EQ(r.exitCode, 0) << r.err;
	EXPECT_FALSE(std::filesystem::exists(file("page-006.png")));

	for (int k = 0; k < kSheets; ++k) {
		const DecodedImage reference = single(k);
		ASSERT_TRUE(reference.ok) << reference.error;
		EXPECT_EQ(largestDifference(pdf[k], reference), 0) << "PDF page " << k + 1;
		EXPECT_EQ(largestDifference(test::readTiff(file("stack.tif"), uint16_t(k)), reference), 0)
			<< "TIFF page " << k + 1;
		char name[32];
		std::snprintf(name, sizeof(name), "page-%03d.png", k + 1);
		EXPECT_EQ(largestDifference(test::readPng(file(name)), reference), 0) << name;
	}
	// The short sheet ends in white.
	const DecodedImage shortSheet = single(2);
	EXPECT_EQ(shortSheet.sample(10, kLines - 1, 0), 0xFF);
	EXPECT_EQ(shortSheet.sample(10, kLines - 1, 2), 0xFF);
}

// Line art is G4, which loses nothing; JPEG stays within 3 levels on average.
TEST_F(StackEndToEnd, LineArtPdfPagesAreExactAndJpegPagesClose)
{
	scanSinglePages("lineart");
	loadStack();
	RunResult r = scan(with({ "--batch", "-m", "lineart", "-o", file("lineart.pdf") }));
	ASSERT_EQ(r.exitCode, 0) << r.err;
	expectValidPdf(file("lineart.pdf"), kSheets);
	const RunResult list = tool("/usr/bin/pdfimages", { "-list", file("lineart.pdf") });
	EXPECT_EQ(count(list.out, " ccitt "), size_t(kSheets)) << list.out;
	std::vector<DecodedImage> pdf = pdfImages(file("lineart.pdf"));
	ASSERT_EQ(pdf.size(), size_t(kSheets));
	for (int k = 0; k < kSheets; ++k)
		EXPECT_EQ(largestDifference(pdf[k], single(k)), 0) << "page " << k + 1;

	scanSinglePages("color");
	loadStack();
	r = scan(with({ "--pages", "5", "-o", file("colour.pdf") }));
	ASSERT_EQ(r.exitCode, 0) << r.err;
	expectValidPdf(file("colour.pdf"), kSheets);
	pdf = pdfImages(file("colour.pdf"));
	ASSERT_EQ(pdf.size(), size_t(kSheets));
	for (int k = 0; k < kSheets; ++k) {
		double mean = 0;
		EXPECT_GE(largestDifference(pdf[k], single(k), &mean), 0);
		EXPECT_LT(mean, 3.0) << "page " << k + 1;
	}
}

TEST_F(StackEndToEnd, EmptyFeederJamAndDoubleFeedEndTheStackKeepingWholePages)
{
	command("empty", "feeder: empty");
	// A file that cannot be written fails before the scanner moves.
	RunResult r = scan(with({ "--batch", "-o", file("no/such/folder.pdf") }));
	EXPECT_EQ(r.exitCode, 4);
	r = scan(with({ "--batch", "-o", file("none.pdf") }));
	EXPECT_EQ(r.exitCode, 3);
	EXPECT_EQ(r.err, "torvane-scan: page 1: feeder empty: there is no paper in the document feeder "
			 "(driver error 3011); nothing was written\n");
	EXPECT_FALSE(std::filesystem::exists(file("none.pdf")));

	loadStack();
	command("jam 3", "jam at sheet 3 from now");
	r = scan(with({ "--batch", "-o", file("jam.pdf") }));
	EXPECT_EQ(r.exitCode, 3);
	EXPECT_EQ(r.err, "torvane-scan: page 3: paper jam: open the feeder, take the sheet out and try again "
			 "(driver error 3013); 2 pages kept in " +
				 file("jam.pdf") + "\n");
	expectValidPdf(file("jam.pdf"), 2);

	command("empty", "feeder: empty");
	loadStack();
	command("double-feed 2", "double feed at sheet 2 from now");
	r = scan(with({ "--batch", "--double-feed-sensor", "40", "-o", file("double.tif") }));
	EXPECT_EQ(r.exitCode, 3);
	EXPECT_EQ(r.err, "torvane-scan: page 2: double feed: two sheets went in at once; scan them again one by one "
			 "(driver error 3014); 1 page kept in " +
				 file("double.tif") + "\n");
	EXPECT_TRUE(test::readTiff(file("double.tif")).ok);
	EXPECT_FALSE(test::readTiff(file("double.tif"), 1).ok);
}

TEST_F(SlowStackEndToEnd, CtrlCKeepsThePagesDone)
{
	loadStack();
	std::vector<std::string> args = with({ "--batch", "-o", file("cut.pdf") });
	args.erase(std::find(args.begin(), args.end(), "-q")); // the page numbers are wanted
	test::ChildProcess child(test::binaryPath("torvane-scan"), args, { { "TORVANE_DEVICE_DIR", file("dev") } },
				 dir_.path());
	std::string err;
	for (int i = 0; i < 3000 && err.find("page 3") == std::string::npos; ++i) {
		std::this_thread::sleep_for(std::chrono::milliseconds(10));
		err.clear();
		for (const auto &entry : std::filesystem::directory_iterator(dir_.path()))
			if (entry.path().extension() == ".err")
				err += readText(entry.path().string());
	}
	ASSERT_NE(err.find("torvane-scan: page 3\n"), std::string::npos) << err;
	child.signal(SIGINT);
	const RunResult r = child.wait();
	EXPECT_EQ(r.exitCode, 130) << r.err;
	EXPECT_NE(r.err.find("torvane-scan: scan cancelled at page 3; 2 pages kept in " + file("cut.pdf") + "\n"),
		  std::string::npos)
		<< r.err;
	expectValidPdf(file("cut.pdf"), 2);
}

} // namespace
} // namespace torvane::scan
