// SPDX-License-Identifier: MIT
// Documents the virtual scanner "scans": a built-in test chart or an image file.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace torvane::sim {

struct Size {
	uint32_t width = 0;
	uint32_t height = 0;
};

// An 8-bit RGB picture, rows top to bottom, three bytes per pixel (R, G, B).
struct RgbImage {
	uint32_t width = 0;
	uint32_t height = 0;
	std::vector<uint8_t> pixels;

	// Resizes to width x height, every pixel set to `fill` in all channels.
	void resize(uint32_t newWidth, uint32_t newHeight, uint8_t fill = 0xFF);
	uint8_t *row(uint32_t y) { return pixels.data() + static_cast<size_t>(y) * width * 3; }
	const uint8_t *row(uint32_t y) const { return pixels.data() + static_cast<size_t>(y) * width * 3; }
};

// The length unit of page sizes and window coordinates: 1/1200 inch.
inline constexpr uint32_t kUnitsPerInch = 1200;

// A sheet of paper on the scanner's glass. Like a camera's frame generator it
// has two steps: configure() fixes the size in pixels the page is drawn at
// (the page's physical size at the scan resolution), generate() draws rows.
class DocumentSource
{
public:
	virtual ~DocumentSource() = default;

	// One line for logs, e.g. "test chart (A4)" or "photo.png 1200x1600 at 150 dpi".
	virtual std::string description() const = 0;

	// Physical size of the page in 1/1200 inch.
	virtual Size pageSize() const = 0;

	// Prepares drawing the whole page at `size` pixels. Returns false when the
	// size cannot be drawn (zero or absurdly large).
	virtual bool configure(const Size &size) = 0;

	// Draws page rows firstRow .. firstRow + band.height - 1 into `band`, whose
	// width equals the configured width. Rows below the page are white.
	virtual void generate(RgbImage &band, uint32_t firstRow) = 0;
};

// The built-in test chart: an A4 page (8.27 x 11.69 inch) with colour patches,
// a continuous and a stepped grey ramp, fine line groups down to lines of
// 2/1200 inch, a hue sweep and rows of text-like glyphs. Drawn from its geometry at any
// resolution (no scaling of a bitmap), so every resolution is sharp and the
// bytes are fully deterministic.
class TestChart : public DocumentSource
{
public:
	std::string description() const override;
	Size pageSize() const override;
	bool configure(const Size &size) override;
	void generate(RgbImage &band, uint32_t firstRow) override;

	// The colour of the page at (u, v) in 1/1200 inch from its top-left corner.
	static void colourAt(uint32_t u, uint32_t v, uint8_t rgb[3]);

private:
	Size size_;
};

// A picture from a file (PNG, or binary PNM P5/P6) or from memory. Its page
// size is its pixel size at its own resolution: the PNG pHYs chunk when it
// gives one in pixels per metre, otherwise 300 dpi. It is scaled to the scan
// resolution by area averaging (shrink) or pixel replication (enlarge).
class ImageDocument : public DocumentSource
{
public:
	ImageDocument(RgbImage image, uint32_t dpi);

	// Loads a PNG or PNM file; null with a message in `error` on failure.
	static std::unique_ptr<ImageDocument> load(const std::string &path, std::string *error);

	std::string description() const override;
	Size pageSize() const override;
	bool configure(const Size &size) override;
	void generate(RgbImage &band, uint32_t firstRow) override;

	const RgbImage &image() const { return image_; }
	uint32_t dpi() const { return dpi_; }

private:
	RgbImage image_;
	uint32_t dpi_;
	std::string name_;
	Size size_;
	// Source span of each target column: first index and count.
	std::vector<uint32_t> columnStart_;
	std::vector<uint32_t> columnCount_;
};

// "chart" (or an empty text) gives the test chart; anything else is loaded as
// an image file. Null with a message in `error` on failure.
std::unique_ptr<DocumentSource> loadDocument(const std::string &spec, std::string *error);

} // namespace torvane::sim
