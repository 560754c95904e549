// SPDX-License-Identifier: MIT
// Image documents and their scaling to the scan resolution.

#include "torvane_sim/document.h"

#include <algorithm>
#include <cstring>

namespace torvane::sim {

namespace {

// Larger pages than this (pixels at the scan resolution) are refused: 60 x 60
// inches at 1200 dpi, far beyond any sheet the scanner takes.
constexpr uint64_t kMaxPagePixels = 72000ull * 72000ull;

// For each of `target` output indices the span of `source` input indices it
// covers: area averaging when shrinking, replication when enlarging.
void sourceSpans(uint32_t source, uint32_t target, std::vector<uint32_t> &start, std::vector<uint32_t> &count)
{
	start.resize(target);
	count.resize(target);
	for (uint32_t i = 0; i < target; ++i) {
		uint64_t first = static_cast<uint64_t>(i) * source / target;
		uint64_t end = static_cast<uint64_t>(i + 1) * source / target;
		if (end <= first)
			end = first + 1;
		if (first >= source)
			first = source - 1;
		end = std::min<uint64_t>(end, source);
		start[i] = static_cast<uint32_t>(first);
		count[i] = static_cast<uint32_t>(end - first);
	}
}

} // namespace

void RgbImage::resize(uint32_t newWidth, uint32_t newHeight, uint8_t fill)
{
	width = newWidth;
	height = newHeight;
	pixels.assign(static_cast<size_t>(newWidth) * newHeight * 3, fill);
}

ImageDocument::ImageDocument(RgbImage image, uint32_t dpi)
	: image_(std::move(image)), dpi_(dpi ? dpi : 300), name_("image")
{
}

std::string ImageDocument::description() const
{
	return name_ + " " + std::to_string(image_.width) + "x" + std::to_string(image_.height) + " at " +
	       std::to_string(dpi_) + " dpi";
}

Size ImageDocument::pageSize() const
{
	auto toUnits = [this](uint32_t pixels) {
		return static_cast<uint32_t>((static_cast<uint64_t>(pixels) * kUnitsPerInch + dpi_ / 2) / dpi_);
	};
	return { toUnits(image_.width), toUnits(image_.height) };
}

bool ImageDocument::configure(const Size &size)
{
	if (size.width == 0 || size.height == 0 || image_.width == 0 || image_.height == 0 ||
	    static_cast<uint64_t>(size.width) * size.height > kMaxPagePixels)
		return false;
	size_ = size;
	sourceSpans(image_.width, size.width, columnStart_, columnCount_);
	return true;
}

void ImageDocument::generate(RgbImage &band, uint32_t firstRow)
{
	std::fill(band.pixels.begin(), band.pixels.end(), 0xFF);
	if (size_.width == 0 || band.width != size_.width)
		return;
	std::vector<uint32_t> sums(static_cast<size_t>(size_.width) * 3);
	for (uint32_t y = 0; y < band.height; ++y) {
		const uint64_t row = static_cast<uint64_t>(firstRow) + y;
		if (row >= size_.height)
			break;
		uint64_t first = row * image_.height / size_.height;
		uint64_t end = (row + 1) * image_.height / size_.height;
		if (end <= first)
			end = first + 1;
		end = std::min<uint64_t>(end, image_.height);
		const uint32_t rows = static_cast<uint32_t>(end - first);

		std::fill(sums.begin(), sums.end(), 0);
		for (uint64_t sy = first; sy < end; ++sy) {
			const uint8_t *source = image_.row(static_cast<uint32_t>(sy));
			for (uint32_t x = 0; x < size_.width; ++x) {
				const uint8_t *pixel = source + static_cast<size_t>(columnStart_[x]) * 3;
				uint32_t r = 0, g = 0, b = 0;
				for (uint32_t k = 0; k < columnCount_[x]; ++k, pixel += 3) {
					r += pixel[0];
					g += pixel[1];
					b += pixel[2];
				}
				sums[x * 3] += r;
				sums[x * 3 + 1] += g;
				sums[x * 3 + 2] += b;
			}
		}
		uint8_t *out = band.row(y);
		for (uint32_t x = 0; x < size_.width; ++x) {
			const uint32_t area = columnCount_[x] * rows;
			for (int c = 0; c < 3; ++c)
				out[x * 3 + c] = static_cast<uint8_t>((sums[x * 3 + c] + area / 2) / area);
		}
	}
}

std::unique_ptr<DocumentSource> loadDocument(const std::string &spec, std::string *error)
{
	if (spec.empty() || spec == "chart")
		return std::make_unique<TestChart>();
	auto document = ImageDocument::load(spec, error);
	if (!document)
		return nullptr;
	return document;
}

} // namespace torvane::sim
