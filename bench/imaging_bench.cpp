// SPDX-License-Identifier: MIT
// Throughput of the image routines on the chunks the read pipeline makes, in
// MB/s of source data, each beside its plain reference version, with a summary
// table of the ratios and targets at the end.

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <utility>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "imaging/conversions.h"
#include "imaging/filters.h"
#include "imaging/resample.h"
#include "imaging/simd_level.h"
#include "oracle/oracle.h"

namespace {

using namespace torvane::imaging;

/* Test images ------------------------------------------------------------- */

// A scanned page in miniature: smooth shading with noise, text-like dark
// strokes, grey areas (R = G = B) and reddish areas, so that every branch of
// the reference versions is taken as it would be on paper.
std::vector<uint8_t> scannedPage(uint32_t pixels, uint32_t lines, unsigned bytesPerPixel)
{
	std::mt19937 generator(pixels * 31 + lines * 7 + bytesPerPixel);
	std::vector<uint8_t> image(size_t(pixels) * lines * bytesPerPixel);
	for (uint32_t y = 0; y < lines; ++y) {
		for (uint32_t x = 0; x < pixels; ++x) {
			uint8_t *px = &image[(size_t(y) * pixels + x) * bytesPerPixel];
			const unsigned noise = generator() % 9;
			const unsigned shade = 180 + (x * 40 / pixels) + noise;
			const bool stroke = (x / 7 + y / 3) % 11 == 0;
			const unsigned zone = (x / 256) % 3;
			for (unsigned b = 0; b < bytesPerPixel; ++b) {
				unsigned v = stroke ? 20 + noise : shade;
				if (bytesPerPixel == 3 && zone == 1 && b > 0)
					v = v * 3 / 5; /* reddish */
				if (bytesPerPixel == 3 && zone == 2)
					v = (generator() % 4 == 0) ? (v + 17 * b) % 256 : v; /* some colour */
				px[b] = uint8_t(std::min(v, 255u));
			}
		}
	}
	return image;
}

/* The cases --------------------------------------------------------------- */

using ResampleFunction = decltype(&ResampleLines);
using FilterFunction = decltype(&BlendChannelLines);

struct Case {
	std::string name;
	double targetMBps;
	std::function<void(benchmark::State &, bool fast)> run;
};

std::vector<Case> &cases()
{
	static std::vector<Case> all;
	return all;
}

void resampleChunks(benchmark::State &state, bool fast, uint32_t sourcePixels, uint32_t lines,
		    uint16_t bitsPerPixel, int baseDpi, int dpi)
{
	const ResampleFunction resample = fast ? ResampleLines : oracle::ResampleLines;
	const unsigned bytes = bitsPerPixel / 8;
	const double factor = double(dpi) / baseDpi;
	const auto destPixels = uint32_t(sourcePixels * factor);
	const auto chunk = scannedPage(sourcePixels, lines, bytes);
	std::vector<uint8_t> out(size_t(destPixels) * bytes * (size_t(lines * factor) + 2));

	resample(nullptr, 0, 0, nullptr, 0, 0, 0, 0);
	for (auto _ : state) {
		benchmark::DoNotOptimize(resample(chunk.data(), sourcePixels, int32_t(lines), out.data(),
						  destPixels, factor, factor, bitsPerPixel));
		benchmark::ClobberMemory();
	}
	resample(nullptr, 0, 0, nullptr, 0, 0, 0, 0);
	state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(chunk.size()));
}

const int8_t kPipelineKernels[4][9] = {
	{ 1, 1, 1, 1, 1, 1, 1, 1, 1 },
	{ 1, 1, 1, 1, 16, 1, 1, 1, 1 },
	{ 0, -1, 0, 0, 7, 0, 0, -1, 0 },
	{ 0, 0, 0, 0, 1, 0, 0, 0, 0 },
};

void filterChunks(benchmark::State &state, FilterFunction filter, const int8_t *kernel)
{
	const uint16_t pixels = 2550;
	const uint16_t lines = 48;
	const auto page = scannedPage(pixels, lines, 3);
	std::vector<uint8_t> chunk = page;

	filter(nullptr, 0, 0, 0, nullptr, 0);
	for (auto _ : state) {
		state.PauseTiming();
		std::memcpy(chunk.data(), page.data(), page.size()); /* filters work in place */
		state.ResumeTiming();
		benchmark::DoNotOptimize(filter(chunk.data(), pixels, lines, 24, kernel, 3));
		benchmark::ClobberMemory();
	}
	filter(nullptr, 0, 0, 0, nullptr, 0);
	state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(page.size()));
}

void fourFilterChunks(benchmark::State &state, bool fast, SimdLevel level)
{
	const uint16_t pixels = 2550;
	const uint16_t lines = 48;
	const auto page = scannedPage(pixels, lines, 3);
	std::vector<uint8_t> chunk = page;
	const FilterFunction plain[4] = { oracle::BlendChannelLines, oracle::NeutraliseGreyPixels,
					  oracle::SharpenGreyPixels, oracle::AdjustReddishPixels };
	const auto releaseAll = [&] {
		FilterChunkInOnePass(nullptr, nullptr, 0, 0, 0, nullptr, 0);
		for (const FilterFunction filter : plain)
			filter(nullptr, 0, 0, 0, nullptr, 0);
	};

	setSimdLevel(level);
	releaseAll();
	for (auto _ : state) {
		if (fast) {
			benchmark::DoNotOptimize(
				FilterChunkInOnePass(page.data(), chunk.data(), pixels, lines, 24, kPipelineKernels[2], 3));
		} else {
			std::memcpy(chunk.data(), page.data(), page.size());
			for (size_t i = 0; i < 4; ++i)
				benchmark::DoNotOptimize(plain[i](chunk.data(), pixels, lines, 24, kPipelineKernels[i], 3));
		}
		benchmark::ClobberMemory();
	}
	releaseAll();
	setSimdLevel(bestSimdLevel());
	state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(page.size()));
}

void registerCases()
{
	struct Resampling {
		const char *label;
		uint32_t pixels;
		uint32_t lines;
		uint16_t bits;
		int base;
		int dpi;
		double target;
	};
	const Resampling resamplings[] = {
		{ "Resample24 300->200", 2550, 48, 24, 300, 200, 400 },
		{ "Resample24 300->150", 2550, 48, 24, 300, 150, 400 },
		{ "Resample24 300->100", 2550, 48, 24, 300, 100, 400 },
		{ "Resample24 300->75", 2550, 48, 24, 300, 75, 400 },
		{ "Resample24 300->50", 2550, 48, 24, 300, 50, 400 },
		{ "Resample8 300->200", 2550, 48, 8, 300, 200, 400 },
		{ "Resample8 300->150", 2550, 48, 8, 300, 150, 400 },
		{ "Resample8 300->100", 2550, 48, 8, 300, 100, 400 },
		{ "Resample8 300->75", 2550, 48, 8, 300, 75, 400 },
		{ "Resample8 300->50", 2550, 48, 8, 300, 50, 400 },
		{ "Resample24 600->1200", 5100, 4, 24, 600, 1200, 212 },
		{ "Resample8 600->1200", 5100, 16, 8, 600, 1200, 212 },
		{ "Resample24 600->2400", 5100, 4, 24, 600, 2400, 212 },
		{ "Resample24 600->900", 5100, 4, 24, 600, 900, 212 },
		{ "Resample24 600->400", 5100, 4, 24, 600, 400, 400 },
	};
	for (const auto &r : resamplings) {
		cases().push_back({ r.label, r.target, [r](benchmark::State &state, bool fast) {
					   resampleChunks(state, fast, r.pixels, r.lines, r.bits, r.base,
							  r.dpi);
				   } });
	}

	struct Filtering {
		const char *label;
		FilterFunction fast;
		FilterFunction plain;
	};
	const Filtering filters[] = {
		{ "BlendChannelLines", BlendChannelLines, oracle::BlendChannelLines },
		{ "NeutraliseGreyPixels", NeutraliseGreyPixels, oracle::NeutraliseGreyPixels },
		{ "SharpenGreyPixels", SharpenGreyPixels, oracle::SharpenGreyPixels },
		{ "AdjustReddishPixels", AdjustReddishPixels, oracle::AdjustReddishPixels },
	};
	for (size_t i = 0; i < 4; ++i) {
		const Filtering f = filters[i];
		const int8_t *kernel = kPipelineKernels[i];
		cases().push_back({ f.label, 400, [f, kernel](benchmark::State &state, bool fast) {
					   filterChunks(state, fast ? f.fast : f.plain, kernel);
				   } });
	}

	// The four filters as the read pipeline runs them: in one pass, from the
	// slot into the staging buffer, at each instruction set level, beside
	// the four reference calls in a row. Target: an A4 300 dpi colour page
	// (2550 x 3507 pixels, 26.8 MB) in 6 ms, 4470 MB/s.
	const std::pair<const char *, SimdLevel> levels[] = { { "FourFilters", bestSimdLevel() },
							      { "FourFilters@avx2", SimdLevel::Avx2 },
							      { "FourFilters@plain", SimdLevel::Plain } };
	for (const auto &[label, level] : levels) {
		if (level > bestSimdLevel())
			continue;
		cases().push_back({ label, 4470, [level](benchmark::State &state, bool fast) {
					   fourFilterChunks(state, fast, level);
				   } });
	}

	cases().push_back({ "ColourLinesToGrey", 400, [](benchmark::State &state, bool fast) {
				   const auto page = scannedPage(2550, 48, 3);
				   std::vector<uint8_t> grey(2550 * 48);
				   for (auto _ : state) {
					   benchmark::DoNotOptimize(
						   (fast ? ColourLinesToGrey : oracle::ColourLinesToGrey)(
							   page.data(), grey.data(), 2550 * 3, 48));
					   benchmark::ClobberMemory();
				   }
				   state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(page.size()));
			   } });
	cases().push_back({ "GreyLinesToLineArt", 400, [](benchmark::State &state, bool fast) {
				   const auto page = scannedPage(2550, 48, 1);
				   std::vector<uint8_t> bits(2550 / 8 * 48);
				   for (auto _ : state) {
					   (fast ? GreyLinesToLineArt : oracle::GreyLinesToLineArt)(
						   page.data(), bits.data(), 2550 / 8, 2550, 48);
					   benchmark::ClobberMemory();
				   }
				   state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(page.size()));
			   } });
	cases().push_back({ "GreyLinesToHalftone", 400, [](benchmark::State &state, bool fast) {
				   const auto page = scannedPage(2550, 48, 1);
				   std::vector<uint8_t> bits(2550 / 8 * 48);
				   for (auto _ : state) {
					   (fast ? GreyLinesToHalftone : oracle::GreyLinesToHalftone)(
						   page.data(), bits.data(), 2550 / 8, 2550, 48, 3);
					   benchmark::ClobberMemory();
				   }
				   state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(page.size()));
			   } });

	for (const auto &c : cases()) {
		for (bool fast : { true, false }) {
			benchmark::RegisterBenchmark((c.name + (fast ? "/fast" : "/plain")).c_str(),
						     [run = c.run, fast](benchmark::State &state) {
							     run(state, fast);
						     })
				->Unit(benchmark::kMicrosecond);
		}
	}
}

/* The summary ------------------------------------------------------------- */

// Prints the usual table, then one line per routine: fast and plain MB/s,
// their ratio, and whether the fast version meets its target (and, where the
// plain one misses it, is at least 5 times faster).
class SummaryReporter : public benchmark::ConsoleReporter
{
public:
	void ReportRuns(const std::vector<Run> &runs) override
	{
		/* With repetitions the median stands for the routine. */
		for (const auto &run : runs) {
			const auto rate = run.counters.find("bytes_per_second");
			if (rate == run.counters.end())
				continue;
			const std::string name = run.run_name.str();
			if (run.run_type == Run::RT_Aggregate) {
				if (run.aggregate_name == "median")
					mbps_[name] = rate->second.value / 1e6;
			} else if (!medianSeen_.count(name)) {
				mbps_[name] = rate->second.value / 1e6;
			}
			if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median")
				medianSeen_.insert(name);
		}
		ConsoleReporter::ReportRuns(runs);
	}

	void Finalize() override
	{
		ConsoleReporter::Finalize();
		std::printf("\n%-24s %12s %12s %8s %8s  %s\n", "routine", "fast MB/s", "plain MB/s",
			    "ratio", "target", "met");
		for (const auto &c : cases()) {
			const auto fast = mbps_.find(c.name + "/fast");
			const auto plain = mbps_.find(c.name + "/plain");
			if (fast == mbps_.end() || plain == mbps_.end())
				continue;
			const double ratio = fast->second / plain->second;
			std::string met = "-";
			if (c.targetMBps > 0) {
				const bool fastEnough = fast->second >= c.targetMBps;
				const bool aheadOfPlain = plain->second >= c.targetMBps || ratio >= 5;
				met = fastEnough && aheadOfPlain ? "yes" : "NO";
			}
			std::printf("%-24s %12.1f %12.1f %8.1f %8.0f  %s\n", c.name.c_str(), fast->second,
				    plain->second, ratio, c.targetMBps, met.c_str());
		}
	}

private:
	std::map<std::string, double> mbps_;
	std::set<std::string> medianSeen_;
};

} // namespace

int main(int argc, char **argv)
{
	registerCases();
	benchmark::Initialize(&argc, argv);
	if (benchmark::ReportUnrecognizedArguments(argc, argv))
		return 1;
	SummaryReporter reporter;
	benchmark::RunSpecifiedBenchmarks(&reporter);
	benchmark::Shutdown();
	return 0;
}
