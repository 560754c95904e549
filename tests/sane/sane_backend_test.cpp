// SPDX-License-Identifier: MIT
// The backend called directly (it exports the plain sane_* names): the
// option rules, a whole page read with select() on the select fd, and a
// button press seen once through its sensor option.

#include <chrono>
#include <cstring>
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
	EXPECT_EQ(info, SANE_INFO_INEXACT); // already the full width: the image is the same
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
	EXPECT_EQ(p.pixels_per_line, 72); // 20 mm at 100 dpi, whole bytes
	EXPECT_EQ(p.bytes_per_line, 9);
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
	SANE_Fixed bottom = SANE_FIX(150); // a page of 1275 x 886 pixels
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
};

TEST_F(SaneBusyTest, AnotherProgramsScanMakesTheDeviceBusyAndGoesOn)
{
	const std::string page = folder.file("other.pnm");
	scan::test::ChildProcess other(std::string(std::getenv("TORVANE_BINARY_DIR")) + "/bin/torvane-scan",
				       { "-q", "-m", "lineart", "-r", "300", "-x", "1in", "-y", "1in", "-o", page }, environment(),
				       folder.path());
	ASSERT_TRUE(other.started());
	std::this_thread::sleep_for(std::chrono::milliseconds(1000)); // its scan is under way
	EXPECT_EQ(sane_start(handle), SANE_STATUS_DEVICE_BUSY);
	const RunResult ended = other.wait(60000);
	EXPECT_EQ(ended.exitCode, 0) << ended.err; // its scan was left alone
	EXPECT_TRUE(torvane::test::exists(page));
	ASSERT_EQ(sane_start(handle), SANE_STATUS_GOOD);
	sane_cancel(handle);
}

} // namespace
} // namespace torvane::sane::test
