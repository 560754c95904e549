// SPDX-License-Identifier: MIT
// Soak: scans in a row in one process (TORVANE_SOAK_SCANS, 500 by default)
// with random requests and random faults of the image data reads. Every
// completed image equals the reference routines' work on the raw image,
// every failed scan ends with a code, and resident memory and open file
// descriptors stay flat from scan 50 on.

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>

#include <malloc.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "../engine/scanner_session.h"
#include "driver/driver_state.h"

using namespace torvane;
using namespace torvane::engine::test;
using sim::FaultRule;

namespace {

// Resident memory once the allocator has returned what it keeps free: what
// is left is what the process still uses.
long residentKiB()
{
	malloc_trim(0);
	long pages = 0, resident = 0;
	if (FILE *statm = std::fopen("/proc/self/statm", "r")) {
		if (std::fscanf(statm, "%ld %ld", &pages, &resident) != 2)
			resident = 0;
		std::fclose(statm);
	}
	return resident * sysconf(_SC_PAGESIZE) / 1024;
}

long openDescriptors()
{
	long count = 0;
	for ([[maybe_unused]] const auto &entry : std::filesystem::directory_iterator("/proc/self/fd"))
		++count;
	return count;
}

class SoakTest : public ScanningTest
{
protected:
	// Open descriptors once the scanner (served in this process) has closed
	// its side of every finished exchange: the fewest of a few looks, since
	// the scanner's threads close their sockets on their own time.
	long settledDescriptors()
	{
		for (int i = 0; i < 200 && server->connectionCount(0) != 0; ++i)
			usleep(5000);
		long fewest = openDescriptors();
		for (int i = 0; i < 10; ++i) {
			usleep(20000);
			fewest = std::min(fewest, openDescriptors());
		}
		return fewest;
	}

	// A random request: every mode, 50 to 1200 dpi, a random window.
	Request randomRequest(std::mt19937 &random)
	{
		static const std::pair<uint8_t, uint8_t> modes[] = { { 0, 1 }, { 1, 1 }, { 2, 8 }, { 4, 24 } };
		const auto [mode, bits] = modes[random() % 4];
		Request r;
		r.mode = mode;
		r.bitsPerPixel = bits;
		r.pattern = static_cast<uint8_t>(1 + random() % 6);
		r.xres = static_cast<uint16_t>(50 + random() % 1151);
		r.left = static_cast<uint16_t>(random() % 600);
		r.width = static_cast<uint16_t>(48 + random() % 600);
		r.length = static_cast<uint16_t>(8 + random() % 60);
		// 1-bit lines are whole bytes.
		const uint16_t pixels = static_cast<uint16_t>(r.width * r.xres / 300);
		r.pixelNum = bits == 1 ? static_cast<uint16_t>(std::max(8, pixels / 8 * 8)) : pixels;
		return r;
	}

	// Nothing, or one fault of the image data reads.
	bool addRandomFault(std::mt19937 &random)
	{
		switch (random() % 8) {
		case 0:
			scanner->addFault(FaultRule::checkCondition(0x28, 0x03, 0x00, 0x00).forDataType(0x00));
			return true;
		case 1:
			scanner->addFault(FaultRule::failDataPhase(0x28).forDataType(0x00));
			return true;
		case 2:
			scanner->addFault(FaultRule::failStatusRead(0x28).forDataType(0x00));
			return true;
		case 3:
			scanner->addFault(FaultRule::shortReads(0x28, 1 + random() % 5000).forDataType(0x00).always());
			return false; // slower, never wrong
		default:
			return false;
		}
	}
};

TEST_F(SoakTest, ScansInARowStayCorrectAndFlat)
{
	const char *setting = std::getenv("TORVANE_SOAK_SCANS");
	const int scans = setting ? std::atoi(setting) : 500;
	std::mt19937 random(20261208);
	long rssAt50 = 0, fdsAt50 = 0;
	int completed = 0, failed = 0;
	for (int i = 0; i < scans && !HasFatalFailure(); ++i) {
		if (i == std::min(50, scans / 10)) {
			rssAt50 = residentKiB();
			fdsAt50 = settledDescriptors();
		}
		if (i % 100 == 0)
			std::printf("soak: scan %d RSS %ld KiB, %ld FDs\n", i, residentKiB(), settledDescriptors());
		const ScanParameter parameter = parameterFor(randomRequest(random));
		const bool faulty = addRandomFault(random);
		std::vector<uint8_t> raw;
		start(parameter, &raw);
		const uint32_t total = imageBytesOf(parameter);
		std::vector<uint8_t> image(total);
		bool whole = true;
		for (uint32_t done = 0; whole && done < total;) {
			const uint32_t piece = std::min<uint32_t>(1 + random() % 70000, total - done);
			whole = ReadScan(nullptr, image.data() + done, piece) == 1;
			done += piece;
		}
		const int stopped = StopScan();
		scanner->clearFaults();
		if (whole && stopped) {
			++completed;
			EXPECT_TRUE(image == expectedImage(raw, total)) << "scan " << i;
		} else {
			++failed;
			EXPECT_TRUE(faulty) << "scan " << i << " failed without a fault";
			EXPECT_NE(torvane::driver::lastError(), 0) << "scan " << i;
			torvane::driver::setLastError(0);
		}
	}
	const long rss = residentKiB(), fds = settledDescriptors();
	std::printf("soak: %d scans, %d completed, %d failed; RSS %ld KiB at scan 50, %ld KiB at the end; "
		    "open FDs %ld and %ld\n",
		    scans, completed, failed, rssAt50, rss, fdsAt50, fds);
	EXPECT_LE(fds, fdsAt50);
	// A shortened run (under the sanitizers, whose shadow memory grows with
	// the addresses used) says nothing about growth.
	if (scans >= 200) {
		EXPECT_LT(rss - rssAt50, 8 * 1024) << "resident memory grew";
	}
}

} // namespace
