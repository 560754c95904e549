// SPDX-License-Identifier: MIT
// Times one image routine over a whole page, chunk by chunk as the read
// pipeline calls it, for the side-by-side comparison with Pillow
// (pillow_compare.py); also writes the page it works on, so that Pillow is
// given the same pixels.
//
//   page_timer write PATH.ppm [BASE]   the A4 colour page at 300 (or 600) dpi
//   page_timer CASE ROUNDS [LEVEL]     best CPU seconds per page of ROUNDS runs,
//                                      at most at LEVEL (plain, avx2, avx512)
//
// CASE: resample-BASE-DPI (ResampleLines from the BASE dpi page to DPI, in
// the read pipeline's chunks: box averaging below half the base, bilinear
// interpolation from half up), grey (ColourLinesToGrey), filters (the four
// model filters in one pass); grey and filters work on the 300 dpi page.

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <time.h>

#include "imaging/conversions.h"
#include "imaging/filters.h"
#include "imaging/resample.h"
#include "imaging/simd_level.h"

namespace {

using namespace torvane::imaging;

constexpr uint32_t kPixels = 2550;   // A4 width at 300 dpi (8.5 inch scanner)
constexpr uint32_t kLines = 3507;    // A4 length at 300 dpi
constexpr uint32_t kChunkLines = 48; // chunks of the read pipeline up to 300 dpi asked for

// A scanned page at 300 dpi times `scale`: shading with noise, dark strokes,
// grey and reddish areas.
std::vector<uint8_t> page(uint32_t scale = 1)
{
	const uint32_t pixels = kPixels * scale, lines = kLines * scale;
	std::vector<uint8_t> image(size_t(pixels) * lines * 3);
	uint32_t noise = 12345;
	for (uint32_t y = 0; y < lines; ++y) {
		for (uint32_t x = 0; x < pixels; ++x) {
			noise = noise * 1103515245u + 12345u;
			const unsigned jitter = (noise >> 16) % 9;
			const bool stroke = (x / 7 + y / 3) % 11 == 0;
			const unsigned base = stroke ? 20 + jitter : 180 + x * 40 / pixels + jitter;
			uint8_t *px = &image[(size_t(y) * pixels + x) * 3];
			for (unsigned c = 0; c < 3; ++c) {
				unsigned v = base;
				if ((x / 256) % 3 == 1 && c > 0)
					v = v * 3 / 5;
				if ((x / 256) % 3 == 2 && (noise >> 8) % 4 == 0)
					v = (v + 17 * c) % 256;
				px[c] = uint8_t(std::min(v, 255u));
			}
		}
	}
	return image;
}

bool writePage(const char *path, uint32_t scale)
{
	const std::vector<uint8_t> image = page(scale);
	FILE *file = std::fopen(path, "wb");
	if (!file)
		return false;
	std::fprintf(file, "P6\n%u %u\n255\n", kPixels * scale, kLines * scale);
	const bool written = std::fwrite(image.data(), 1, image.size(), file) == image.size();
	return std::fclose(file) == 0 && written;
}

// One pass over the page; returns a byte of the result so that it is used.
uint8_t runCase(const std::string &name, const std::vector<uint8_t> &image, std::vector<uint8_t> &out)
{
	const size_t lineBytes = size_t(kPixels) * 3;
	unsigned base = 0, dpi = 0;
	if (std::sscanf(name.c_str(), "resample-%u-%u", &base, &dpi) == 2) {
		const uint32_t pixels = kPixels * (base / 300), lines = kLines * (base / 300);
		const double factor = double(dpi) / double(base);
		const auto destPixels = uint32_t(pixels * factor);
		const size_t baseLineBytes = size_t(pixels) * 3;
		ResampleLines(nullptr, 0, 0, nullptr, 0, 0, 0, 0);
		for (uint32_t line = 0; line < lines; line += kChunkLines) {
			const auto chunk = int32_t(std::min(kChunkLines, lines - line));
			ResampleLines(image.data() + line * baseLineBytes, pixels, chunk, out.data(), destPixels, factor,
				      factor, 24);
		}
		ResampleLines(nullptr, 0, 0, nullptr, 0, 0, 0, 0);
	} else if (name == "grey") {
		for (uint32_t line = 0; line < kLines; line += kChunkLines) {
			const uint32_t lines = std::min(kChunkLines, kLines - line);
			ColourLinesToGrey(image.data() + line * lineBytes, out.data() + size_t(line) * kPixels,
					  uint32_t(lineBytes), lines);
		}
	} else if (name == "filters") {
		static const int8_t kSharpen[9] = { 0, -1, 0, 0, 7, 0, 0, -1, 0 };
		for (uint32_t line = 0; line < kLines; line += kChunkLines) {
			const auto lines = uint16_t(std::min(kChunkLines, kLines - line));
			FilterChunkInOnePass(image.data() + line * lineBytes, out.data() + line * lineBytes,
					     uint16_t(kPixels), lines, 24, kSharpen, 3);
		}
		FilterChunkInOnePass(nullptr, nullptr, 0, 0, 0, nullptr, 0);
	}
	return out[out.size() / 2];
}

// CPU time of this thread: on a shared machine, time spent waiting for the
// processor does not count against either side.
double threadSeconds()
{
	timespec now{};
	clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
	return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

} // namespace

int main(int argc, char **argv)
{
	if ((argc == 3 || argc == 4) && std::strcmp(argv[1], "write") == 0)
		return writePage(argv[2], argc == 4 && std::atoi(argv[3]) == 600 ? 2 : 1) ? 0 : 1;
	if (argc != 3 && argc != 4) {
		std::fprintf(stderr, "usage: page_timer write PATH.ppm [300|600] | page_timer CASE ROUNDS [LEVEL]\n");
		return 2;
	}
	if (argc == 4) {
		const std::string level = argv[3];
		if (level != "plain" && level != "avx2" && level != "avx512") {
			std::fprintf(stderr, "page_timer: LEVEL is plain, avx2 or avx512\n");
			return 2;
		}
		setSimdLevel(level == "plain" ? SimdLevel::Plain : level == "avx2" ? SimdLevel::Avx2
										   : SimdLevel::Avx512);
	}
	const std::string name = argv[1];
	const int rounds = std::max(1, std::atoi(argv[2]));
	const std::vector<uint8_t> image = page(name.rfind("resample-600-", 0) == 0 ? 2 : 1);
	std::vector<uint8_t> out(image.size());
	double best = 1e9;
	unsigned sink = 0;
	for (int i = 0; i < rounds; ++i) {
		const double start = threadSeconds();
		sink += runCase(name, image, out);
		best = std::min(best, threadSeconds() - start);
	}
	std::printf("%.6f %u\n", best, sink & 1);
	return 0;
}
