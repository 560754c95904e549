// SPDX-License-Identifier: MIT
// The backend called directly (it exports the plain sane_* names): the
// option rules, a whole page read with select() on the select fd, a button
// press seen once through its sensor option, and the statuses of a scanner
// that is busy, fails, or is asked to start twice.

#include <chrono>
#include <cstring>
#include <fstream>
#include <memory>
#include <thread>

#include <sys/select.h>

#include <sane/sane.h>
#include <sane/saneopts.h>

#include "sane_fixture.h"

namespace torvane::sane::test {
namespace {

class SaneBackendTest : public SaneTest
{
protected:
	// The simulator's options; at full speed unless a test says otherwise.
	virtual std::vector<std::string> simulatorOptions() const { return { "--full-speed" }; }

	void SetUp() override
	{
		SaneTest::SetUp();
		startSimulator(simulatorOptions());
		ASSERT_EQ(sane_init(nullptr, nullptr), SANE_STATUS_GOOD);
		ASSERT_EQ(sane_open("", &handle), SANE_STATUS_GOOD);
	}
	void TearDown() override
	{
		sane_close(handle);
		sane_exit();
		SaneTest::TearDown();
	}

	int optionIndex(const char *name)
	{
		for (int i = 1; const SANE_Option_Descriptor *d = sane_get_option_descriptor(handle, i); ++i)
			if (d->name && std::strcmp(d->name, name) == 0)
				return i;
		ADD_FAILURE() << "no option " << name;
		return -1;
	}
	SANE_Status set(const char *name, void *value, SANE_Int *info = nullptr)
	{
		return sane_control_option(handle, optionIndex(name), SANE_ACTION_SET_VALUE, value, info);
	}
	SANE_Status get(const char *name, void *value)
	{
		return sane_control_option(handle, optionIndex(name), SANE_ACTION_GET_VALUE, value, nullptr);
	}

	SANE_Handle handle = nullptr;
};

TEST_F(SaneBackendTest, OptionsAnswerAsTheStandardAsks)
{
	SANE_Handle second = nullptr;
	EXPECT_EQ(sane_open("", &second), SANE_STATUS_DEVICE_BUSY);

	SANE_Int info = 0;
	SANE_Word pattern = 3;
	EXPECT_EQ(set(SANE_NAME_HALFTONE_PATTERN, &pattern), SANE_STATUS_INVAL); // inactive in Color
	char mode[16] = "Halftone";
	EXPECT_EQ(set(SANE_NAME_SCAN_MODE, mode, &info), SANE_STATUS_GOOD);
	EXPECT_EQ(info, SANE_INFO_RELOAD_OPTIONS | SANE_INFO_RELOAD_PARAMS);
	EXPECT_EQ(set(SANE_NAME_SCAN_MODE, mode, &info), SANE_STATUS_GOOD);
	EXPECT_EQ(info, 0); // nothing changed
	pattern = 9;
	EXPECT_EQ(set(SANE_NAME_HALFTONE_PATTERN, &pattern, &info), SANE_STATUS_GOOD);
	EXPECT_EQ(info, SANE_INFO_INEXACT);
	EXPECT_EQ(pattern, 6);

	SANE_Fixed x = SANE_FIX(500);
	EXPECT_EQ(set(SANE_NAME_SCAN_BR_X, &x, &info), SANE_STATUS_GOOD);
	EXPECT_EQ(info, SANE_INFO_INEXACT | SANE_INFO_RELOAD_PARAMS); // from A4's 210 mm to the full width
	EXPECT_EQ(x, SANE_FIX(215.9));
	EXPECT_EQ(set(SANE_NAME_SCAN_BR_X, &x, &info), SANE_STATUS_GOOD);
	EXPECT_EQ(info, 0);
	SANE_Word dpi = 110;
	EXPECT_EQ(set(SANE_NAME_SCAN_RESOLUTION, &dpi, &info), SANE_STATUS_GOOD);
	EXPECT_EQ(info, SANE_INFO_INEXACT | SANE_INFO_RELOAD_PARAMS);
	EXPECT_EQ(dpi, 100);

	// Corners the wrong way round: the area they span.
	SANE_Fixed left = SANE_FIX(30), right = SANE_FIX(10), top = SANE_FIX(0), bottom = SANE_FIX(10);
	set(SANE_NAME_SCAN_TL_X, &left);
	set(SANE_NAME_SCAN_BR_X, &right);
	set(SANE_NAME_SCAN_TL_Y, &top);
	set(SANE_NAME_SCAN_BR_Y, &bottom);
	SANE_Parameters p{};
	ASSERT_EQ(sane_get_parameters(handle, &p), SANE_STATUS_GOOD);
	EXPECT_EQ(p.format, SANE_FRAME_GRAY);
	EXPECT_EQ(p.depth, 1);
	EXPECT_EQ(p.pixels_per_line, 78); // 20 mm at 100 dpi
	EXPECT_EQ(p.bytes_per_line, 10);
	EXPECT_EQ(p.lines, 39);

	ASSERT_EQ(sane_start(handle), SANE_STATUS_GOOD);
	EXPECT_EQ(set(SANE_NAME_SCAN_MODE, mode), SANE_STATUS_DEVICE_BUSY);
	sane_cancel(handle);
	SANE_Byte data[64];
	SANE_Int length = 0;
	EXPECT_EQ(sane_read(handle, data, sizeof(data), &length), SANE_STATUS_CANCELLED);
}

TEST_F(SaneBackendTest, NonBlockingReadsWithSelectGiveTheWholePage)
{
	char mode[16] = "Gray";
	set(SANE_NAME_SCAN_MODE, mode);
	SANE_Word dpi = 150;
	set(SANE_NAME_SCAN_RESOLUTION, &dpi);
	SANE_Fixed right = SANE_FIX(215.9), bottom = SANE_FIX(150); // a page of 1275 x 886 pixels
	set(SANE_NAME_SCAN_BR_X, &right);
	set(SANE_NAME_SCAN_BR_Y, &bottom);
	ASSERT_EQ(sane_start(handle), SANE_STATUS_GOOD);
	SANE_Parameters p{};
	ASSERT_EQ(sane_get_parameters(handle, &p), SANE_STATUS_GOOD);
	ASSERT_EQ(sane_set_io_mode(handle, SANE_TRUE), SANE_STATUS_GOOD);
	SANE_Int fd = -1;
	ASSERT_EQ(sane_get_select_fd(handle, &fd), SANE_STATUS_GOOD);

	std::vector<SANE_Byte> buffer(100000);
	size_t total = 0, emptyReads = 0;
	SANE_Status status = SANE_STATUS_GOOD;
	while (status == SANE_STATUS_GOOD) {
		fd_set readable;
		FD_ZERO(&readable);
		FD_SET(fd, &readable);
		timeval timeout{ 30, 0 };
		ASSERT_EQ(select(fd + 1, &readable, nullptr, nullptr, &timeout), 1) << "select timed out";
		SANE_Int length = 0;
		status = sane_read(handle, buffer.data(), static_cast<SANE_Int>(buffer.size()), &length);
		total += length;
		emptyReads += status == SANE_STATUS_GOOD && length == 0;
	}
	EXPECT_EQ(status, SANE_STATUS_EOF);
	EXPECT_EQ(total, size_t(p.bytes_per_line) * p.lines);
	EXPECT_EQ(p.bytes_per_line, 1275);
	EXPECT_EQ(p.lines, 886);
	SANE_Int length = 0;
	EXPECT_EQ(sane_read(handle, buffer.data(), 10, &length), SANE_STATUS_EOF); // again, until the next start
}

// Reads until the end of the image; the bytes, or empty with a failure.
std::vector<SANE_Byte> readImage(SANE_Handle handle)
{
	std::vector<SANE_Byte> image, buffer(65536);
	SANE_Status status = SANE_STATUS_GOOD;
	while (status == SANE_STATUS_GOOD) {
		SANE_Int length = 0;
		status = sane_read(handle, buffer.data(), static_cast<SANE_Int>(buffer.size()), &length);
		image.insert(image.end(), buffer.begin(), buffer.begin() + length);
	}
	EXPECT_EQ(status, SANE_STATUS_EOF);
	return status == SANE_STATUS_EOF ? image : std::vector<SANE_Byte>{};
}

TEST_F(SaneBackendTest, TheAreaStartsAsTheLocalesPageWithinTheScannersArea)
{
	sane_close(handle);
	struct Case {
		const char *all, *paper;
		double width, length;
	};
	for (const Case &c : { Case{ nullptr, "de_DE.UTF-8", 210, 297 }, Case{ nullptr, "en_US.UTF-8", 215.9, 279.4 },
			       Case{ nullptr, "fr_CA", 215.9, 279.4 }, Case{ nullptr, "C", 210, 297 },
			       Case{ "de_DE.UTF-8", "en_US.UTF-8", 210, 297 } }) {
		SCOPED_TRACE(std::string(c.all ? c.all : "-") + " " + c.paper);
		c.all ? setenv("LC_ALL", c.all, 1) : unsetenv("LC_ALL");
		setenv("LC_PAPER", c.paper, 1);
		ASSERT_EQ(sane_open("", &handle), SANE_STATUS_GOOD);
		SANE_Fixed width = 0, length = 0, pageWidth = 0, pageLength = 0;
		get(SANE_NAME_SCAN_BR_X, &width);
		get(SANE_NAME_SCAN_BR_Y, &length);
		get(SANE_NAME_PAGE_WIDTH, &pageWidth);
		get(SANE_NAME_PAGE_HEIGHT, &pageLength);
		EXPECT_EQ(width, SANE_FIX(c.width));
		EXPECT_EQ(length, SANE_FIX(c.length));
		EXPECT_EQ(pageWidth, width);
		EXPECT_EQ(pageLength, length);
		// The ranges still end at the scanner's area.
		const SANE_Option_Descriptor *y = sane_get_option_descriptor(handle, optionIndex(SANE_NAME_SCAN_BR_Y));
		EXPECT_NEAR(SANE_UNFIX(y->constraint.range->max), 354.584, 0.001);
		sane_close(handle);
	}
	unsetenv("LC_ALL");
	unsetenv("LC_PAPER");
	ASSERT_EQ(sane_open("", &handle), SANE_STATUS_GOOD);
}

TEST_F(SaneBackendTest, APageSizeSetsTheAreaAndAnAreaOfNoPixelIsWidenedWhenSet)
{
	SANE_Int info = 0;
	SANE_Fixed page = SANE_FIX(100);
	EXPECT_EQ(set(SANE_NAME_PAGE_WIDTH, &page, &info), SANE_STATUS_GOOD);
	EXPECT_EQ(info, SANE_INFO_RELOAD_OPTIONS | SANE_INFO_RELOAD_PARAMS);
	SANE_Fixed corner = -1;
	get(SANE_NAME_SCAN_BR_X, &corner);
	EXPECT_EQ(corner, SANE_FIX(100));
	page = SANE_FIX(500);
	EXPECT_EQ(set(SANE_NAME_PAGE_HEIGHT, &page, &info), SANE_STATUS_GOOD);
	EXPECT_EQ(info, SANE_INFO_INEXACT | SANE_INFO_RELOAD_OPTIONS | SANE_INFO_RELOAD_PARAMS);
	get(SANE_NAME_SCAN_BR_Y, &corner);
	EXPECT_EQ(corner, page);

	// At 300 dpi a pixel is 1/300 inch: the corner set moves by that much.
	SANE_Fixed left = SANE_FIX(10), right = SANE_FIX(10);
	set(SANE_NAME_SCAN_TL_X, &left);
	EXPECT_EQ(set(SANE_NAME_SCAN_BR_X, &right, &info), SANE_STATUS_GOOD);
	EXPECT_EQ(info, SANE_INFO_INEXACT | SANE_INFO_RELOAD_PARAMS);
	EXPECT_EQ(right, SANE_FIX(119 * 25.4 / 300));
	SANE_Parameters p{};
	ASSERT_EQ(sane_get_parameters(handle, &p), SANE_STATUS_GOOD);
	EXPECT_EQ(p.pixels_per_line, 1);
	// At 50 dpi a pixel is 6/300 inch: a resolution leaves no empty area either.
	SANE_Word dpi = 50;
	EXPECT_EQ(set(SANE_NAME_SCAN_RESOLUTION, &dpi, &info), SANE_STATUS_GOOD);
	EXPECT_EQ(info, SANE_INFO_RELOAD_OPTIONS | SANE_INFO_RELOAD_PARAMS);
	get(SANE_NAME_SCAN_BR_X, &corner);
	EXPECT_EQ(corner, SANE_FIX(124 * 25.4 / 300));
	// At the right edge the corner moves inwards.
	left = right = SANE_FIX(215.9);
	set(SANE_NAME_SCAN_TL_X, &left);
	EXPECT_EQ(set(SANE_NAME_SCAN_BR_X, &right, &info), SANE_STATUS_GOOD);
	EXPECT_EQ(right, SANE_FIX(2544 * 25.4 / 300));
	ASSERT_EQ(sane_get_parameters(handle, &p), SANE_STATUS_GOOD);
	EXPECT_EQ(p.pixels_per_line, 1);
	ASSERT_EQ(sane_start(handle), SANE_STATUS_GOOD);
	EXPECT_EQ(readImage(handle).size(), 3u * p.lines);
}

TEST_F(SaneBackendTest, FullWidthLineArtHasEveryPixelAndZeroPadding)
{
	char mode[16] = "Lineart";
	set(SANE_NAME_SCAN_MODE, mode);
	SANE_Fixed right = SANE_FIX(215.9), bottom = SANE_FIX(40);
	set(SANE_NAME_SCAN_BR_X, &right);
	set(SANE_NAME_SCAN_BR_Y, &bottom);
	SANE_Parameters p{};
	ASSERT_EQ(sane_get_parameters(handle, &p), SANE_STATUS_GOOD);
	EXPECT_EQ(p.depth, 1);
	EXPECT_EQ(p.pixels_per_line, 2550);
	EXPECT_EQ(p.bytes_per_line, 319);
	EXPECT_EQ(p.lines, 472);
	ASSERT_EQ(sane_start(handle), SANE_STATUS_GOOD);
	const std::vector<SANE_Byte> image = readImage(handle);
	ASSERT_EQ(image.size(), 319u * 472);
	size_t paddingSet = 0, black = 0;
	for (size_t i = 0; i < image.size(); ++i) {
		paddingSet += i % 319 == 318 && (image[i] & 0x3F) != 0;
		black += image[i] != 0;
	}
	EXPECT_EQ(paddingSet, 0u);
	EXPECT_GT(black, image.size() / 100); // the chart's frame and text
}

TEST_F(SaneBackendTest, AButtonPressIsSeenOnce)
{
	SANE_Word pressed = SANE_TRUE;
	ASSERT_EQ(get(SANE_NAME_COPY, &pressed), SANE_STATUS_GOOD); // starts the driver's wait
	EXPECT_EQ(pressed, SANE_FALSE);
	simulator->command("press 05"); // the scanner's code of button 2
	const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
	while (!pressed && std::chrono::steady_clock::now() < deadline) {
		std::this_thread::sleep_for(std::chrono::milliseconds(50));
		ASSERT_EQ(get(SANE_NAME_COPY, &pressed), SANE_STATUS_GOOD);
	}
	EXPECT_EQ(pressed, SANE_TRUE);
	ASSERT_EQ(get(SANE_NAME_COPY, &pressed), SANE_STATUS_GOOD);
	EXPECT_EQ(pressed, SANE_FALSE);
	ASSERT_EQ(get(SANE_NAME_SCAN, &pressed), SANE_STATUS_GOOD);
	EXPECT_EQ(pressed, SANE_FALSE);
}

// One sheet in the feeder, a jam at the first SCAN and a double feed at the
// second.
class SaneFeederTest : public SaneBackendTest
{
protected:
	std::vector<std::string> simulatorOptions() const override
	{
		return { "--full-speed", "--feeder", "chart", "--fault", "check,op=0x1B,sense=03/3B/05",
			 "--fault", "check,op=0x1B,sense=03/3B/80" };
	}
};

TEST_F(SaneFeederTest, AJamAndAnEmptyFeederHaveTheirOwnStatus)
{
	char source[16] = {};
	ASSERT_EQ(get(SANE_NAME_SCAN_SOURCE, source), SANE_STATUS_GOOD);
	EXPECT_STREQ(source, "ADF");
	SANE_Word dpi = 50;
	ASSERT_EQ(set(SANE_NAME_SCAN_RESOLUTION, &dpi), SANE_STATUS_GOOD);

	EXPECT_EQ(sane_start(handle), SANE_STATUS_JAMMED);
	EXPECT_EQ(sane_start(handle), SANE_STATUS_IO_ERROR); // SANE has no status for a double feed
	ASSERT_EQ(sane_start(handle), SANE_STATUS_GOOD);
	std::vector<SANE_Byte> buffer(65536);
	SANE_Int length = 0;
	SANE_Status status = SANE_STATUS_GOOD;
	while (status == SANE_STATUS_GOOD)
		status = sane_read(handle, buffer.data(), static_cast<SANE_Int>(buffer.size()), &length);
	EXPECT_EQ(status, SANE_STATUS_EOF);
	EXPECT_EQ(sane_start(handle), SANE_STATUS_NO_DOCS);
}

class SaneBusyTest : public SaneBackendTest
{
protected:
	// About 3 s for torvane-scan's page.
	std::vector<std::string> simulatorOptions() const override { return { "--rate", "300000" }; }

	std::string otherPage() const { return folder.file("other.pnm"); }
	// torvane-scan's scan of that page, in a process of its own.
	std::unique_ptr<scan::test::ChildProcess> startOtherScan()
	{
		return std::make_unique<scan::test::ChildProcess>(
			std::string(std::getenv("TORVANE_BINARY_DIR")) + "/bin/torvane-scan",
			std::vector<std::string>{ "-q", "-m", "lineart", "-r", "300", "-x", "1in", "-y", "1in", "-o", otherPage() },
			environment(), folder.path());
	}
};

TEST_F(SaneBusyTest, AnotherProgramsScanMakesTheDeviceBusyAndGoesOn)
{
	std::ofstream(config + "/torvane.conf") << "# no wait\nbusy-wait 0\n";
	auto other = startOtherScan();
	ASSERT_TRUE(other->started());
	std::this_thread::sleep_for(std::chrono::milliseconds(1000)); // its scan is under way
	EXPECT_EQ(sane_start(handle), SANE_STATUS_DEVICE_BUSY);
	const RunResult ended = other->wait(60000);
	EXPECT_EQ(ended.exitCode, 0) << ended.err; // its scan was left alone
	EXPECT_TRUE(torvane::test::exists(otherPage()));
	ASSERT_EQ(sane_start(handle), SANE_STATUS_GOOD);
	sane_cancel(handle);
}

// Without a busy-wait line, sane_start waits (up to 60 s) for the other
// program's scan to end, and then scans.
TEST_F(SaneBusyTest, StartWaitsForAnotherProgramsScan)
{
	auto other = startOtherScan();
	ASSERT_TRUE(other->started());
	std::this_thread::sleep_for(std::chrono::milliseconds(1000));
	EXPECT_EQ(sane_start(handle), SANE_STATUS_GOOD);
	const RunResult ended = other->wait(60000);
	EXPECT_EQ(ended.exitCode, 0) << ended.err;
	EXPECT_TRUE(torvane::test::exists(otherPage()));
	sane_cancel(handle);
}

TEST_F(SaneBusyTest, OpenWhileAnotherProgramScansAnswersBusy)
{
	sane_close(handle);
	handle = nullptr;
	auto other = startOtherScan();
	ASSERT_TRUE(other->started());
	std::this_thread::sleep_for(std::chrono::milliseconds(1000));
	EXPECT_EQ(sane_open("", &handle), SANE_STATUS_DEVICE_BUSY);
	EXPECT_EQ(other->wait(60000).exitCode, 0);
	EXPECT_EQ(sane_open("", &handle), SANE_STATUS_GOOD);
}

TEST_F(SaneBackendTest, ASecondStartDuringAScanIsRefusedAndTheScanGoesOn)
{
	ASSERT_EQ(sane_start(handle), SANE_STATUS_GOOD);
	SANE_Parameters p{};
	ASSERT_EQ(sane_get_parameters(handle, &p), SANE_STATUS_GOOD);
	std::vector<SANE_Byte> buffer(65536);
	SANE_Int length = 0;
	ASSERT_EQ(sane_read(handle, buffer.data(), static_cast<SANE_Int>(buffer.size()), &length), SANE_STATUS_GOOD);
	size_t total = static_cast<size_t>(length);
	EXPECT_EQ(sane_start(handle), SANE_STATUS_DEVICE_BUSY);
	SANE_Status status = SANE_STATUS_GOOD;
	while (status == SANE_STATUS_GOOD) {
		status = sane_read(handle, buffer.data(), static_cast<SANE_Int>(buffer.size()), &length);
		total += static_cast<size_t>(length);
	}
	EXPECT_EQ(status, SANE_STATUS_EOF);
	EXPECT_EQ(total, size_t(p.bytes_per_line) * p.lines);
	// After the end of the frame, and after a cancel, a start is welcome.
	ASSERT_EQ(sane_start(handle), SANE_STATUS_GOOD);
	sane_cancel(handle);
	EXPECT_EQ(sane_start(handle), SANE_STATUS_GOOD);
	sane_cancel(handle);
}

// A scanner that is found but fails its INQUIRY is an I/O error at
// sane_open, not an invalid name.
TEST_F(SaneTest, AFailedInquiryAtOpenIsAnIoError)
{
	startSimulator({ "--full-speed", "--fault", "fail-data,op=0x12,count=always" });
	ASSERT_EQ(sane_init(nullptr, nullptr), SANE_STATUS_GOOD);
	SANE_Handle handle = nullptr;
	EXPECT_EQ(sane_open("", &handle), SANE_STATUS_IO_ERROR);
	sane_exit();
}

} // namespace
} // namespace torvane::sane::test
