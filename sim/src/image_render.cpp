// SPDX-License-Identifier: MIT
// Raw image rendering: the page at the window's resolution, sampled into the
// window's composition and sample size.

#include "image_render.h"

#include <algorithm>
#include <cstring>

namespace torvane::sim {

namespace {

constexpr uint32_t kBandRows = 64;

struct PixelFormat {
	bool colour;
	uint32_t bits;	 // per channel: 1 (grey only), 8 or 16
	uint8_t channel; // grey: 0 luminance, 1 red, 2 green, 3 blue

	uint32_t bitsPerPixel() const { return (colour ? 3 : 1) * bits; }
};

PixelFormat formatOf(const WindowSettings &window)
{
	PixelFormat format;
	format.colour = window.composition == 5;
	format.bits = window.bitsPerChannel;
	if (format.bits != 1 && format.bits != 16)
		format.bits = 8;
	if (format.colour && format.bits == 1)
		format.bits = 8;
	const uint8_t code = window.channelCode();
	format.channel = code >= 1 && code <= 3 ? code : 0;
	return format;
}

uint8_t greyOf(const uint8_t *rgb, uint8_t channel)
{
	if (channel)
		return rgb[channel - 1];
	return static_cast<uint8_t>((77u * rgb[0] + 150u * rgb[1] + 29u * rgb[2] + 128u) >> 8);
}

// Page pixels at `dpi` of a length in 1/1200 inch.
uint32_t pixelsAt(uint32_t units, uint32_t dpi)
{
	return static_cast<uint32_t>((static_cast<uint64_t>(units) * dpi + kUnitsPerInch / 2) / kUnitsPerInch);
}

// Writes `pixels` samples of one line; `source(p)` gives the RGB of pixel p.
template<typename Source>
void writeLine(uint8_t *out, uint32_t pixels, const PixelFormat &format, Source source)
{
	if (format.bits == 1) {
		for (uint32_t p = 0; p < pixels; ++p)
			if (greyOf(source(p), format.channel) < 128)
				out[p / 8] |= static_cast<uint8_t>(0x80 >> (p % 8));
		return;
	}
	const uint32_t repeat = format.bits / 8;
	for (uint32_t p = 0; p < pixels; ++p) {
		const uint8_t *rgb = source(p);
		if (format.colour) {
			for (int c = 0; c < 3; ++c)
				for (uint32_t k = 0; k < repeat; ++k)
					*out++ = rgb[c];
		} else {
			const uint8_t grey = greyOf(rgb, format.channel);
			for (uint32_t k = 0; k < repeat; ++k)
				*out++ = grey;
		}
	}
}

} // namespace

uint64_t imageSizeOf(const WindowSettings &window)
{
	return static_cast<uint64_t>(window.bytesPerLine) * window.lineCount;
}

std::vector<uint8_t> renderImage(const WindowSettings &window, DocumentSource &document)
{
	std::vector<uint8_t> image(imageSizeOf(window), 0);
	if (image.empty())
		return image;

	const PixelFormat format = formatOf(window);
	const uint32_t pixels =
		static_cast<uint32_t>(static_cast<uint64_t>(window.bytesPerLine) * 8 / format.bitsPerPixel());
	const uint32_t firstColumn = pixelsAt(window.upperLeftX, window.xResolution);
	const uint32_t firstRow = pixelsAt(window.upperLeftY, window.yResolution);

	const Size page = document.pageSize();
	const Size drawn{ pixelsAt(page.width, window.xResolution), pixelsAt(page.height, window.yResolution) };
	const bool drawable = document.configure(drawn);

	static const uint8_t white[3] = { 0xFF, 0xFF, 0xFF };
	RgbImage band;
	if (drawable)
		band.resize(drawn.width, std::min(kBandRows, window.lineCount));

	for (uint32_t line = 0; line < window.lineCount; line += kBandRows) {
		const uint32_t rows = std::min(kBandRows, window.lineCount - line);
		const uint64_t pageRow = static_cast<uint64_t>(firstRow) + line;
		const bool onPage = drawable && pageRow < drawn.height;
		if (onPage)
			document.generate(band, static_cast<uint32_t>(pageRow));
		for (uint32_t r = 0; r < rows; ++r) {
			uint8_t *out = image.data() + static_cast<size_t>(line + r) * window.bytesPerLine;
			const uint8_t *pageLine = onPage ? band.row(r) : nullptr;
			writeLine(out, pixels, format, [&](uint32_t p) -> const uint8_t * {
				const uint64_t column = static_cast<uint64_t>(firstColumn) + p;
				if (!pageLine || column >= drawn.width)
					return white;
				return pageLine + column * 3;
			});
		}
	}
	return image;
}

} // namespace torvane::sim
