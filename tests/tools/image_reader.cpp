// SPDX-License-Identifier: MIT
// Reads back the files torvane-scan writes, for the tests.

#include "image_reader.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>

#include <png.h>
#include <tiffio.h>

namespace torvane::scan::test {

uint8_t DecodedImage::grey(uint32_t x, uint32_t y) const
{
	if (bitDepth == 1) {
		const bool bit = (rows[y][x / 8] >> (7 - x % 8)) & 1;
		return bit == blackIsOne ? 0 : 255;
	}
	if (channels == 1)
		return rows[y][x];
	const uint8_t *p = &rows[y][x * 3];
	return static_cast<uint8_t>((p[0] * 3 + p[1] * 6 + p[2]) / 10);
}

namespace {

struct PngRead {
	png_structp png = nullptr;
	png_infop info = nullptr;
	FILE *file = nullptr;
	~PngRead()
	{
		if (png)
			png_destroy_read_struct(&png, info ? &info : nullptr, nullptr);
		if (file)
			std::fclose(file);
	}
};

bool readPngInto(PngRead &r, DecodedImage &image)
{
	if (setjmp(png_jmpbuf(r.png)))
		return false;
	png_init_io(r.png, r.file);
	png_read_info(r.png, r.info);
	image.width = png_get_image_width(r.png, r.info);
	image.height = png_get_image_height(r.png, r.info);
	image.bitDepth = png_get_bit_depth(r.png, r.info);
	image.channels = png_get_channels(r.png, r.info);
	png_uint_32 resX = 0, resY = 0;
	int unit = 0;
	if (png_get_pHYs(r.png, r.info, &resX, &resY, &unit) && unit == PNG_RESOLUTION_METER) {
		image.dpiX = resX * 0.0254;
		image.dpiY = resY * 0.0254;
	}
	const size_t rowBytes = png_get_rowbytes(r.png, r.info);
	image.rows.assign(image.height, std::vector<uint8_t>(rowBytes));
	for (auto &row : image.rows)
		png_read_row(r.png, row.data(), nullptr);
	png_read_end(r.png, nullptr);
	return true;
}

} // namespace

DecodedImage readPng(const std::string &path)
{
	DecodedImage image;
	PngRead r;
	r.file = std::fopen(path.c_str(), "rb");
	if (!r.file) {
		image.error = "cannot open " + path;
		return image;
	}
	unsigned char signature[8] = {};
	if (std::fread(signature, 1, 8, r.file) != 8 || png_sig_cmp(signature, 0, 8) != 0) {
		image.error = "not a PNG file";
		return image;
	}
	std::rewind(r.file);
	r.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
	r.info = r.png ? png_create_info_struct(r.png) : nullptr;
	if (!r.info || !readPngInto(r, image)) {
		image.error = "libpng could not read " + path;
		return image;
	}
	image.blackIsOne = false;
	image.ok = true;
	return image;
}

DecodedImage readTiff(const std::string &path, uint16_t page)
{
	DecodedImage image;
	TIFF *tiff = TIFFOpen(path.c_str(), "r");
	if (!tiff) {
		image.error = "libtiff could not open " + path;
		return image;
	}
	if (TIFFSetDirectory(tiff, page) != 1) {
		image.error = "no page " + std::to_string(page) + " in " + path;
		TIFFClose(tiff);
		return image;
	}
	uint16_t bits = 0, samples = 0, photometric = 0, compression = 0, unit = 0;
	float resX = 0, resY = 0;
	TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &image.width);
	TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &image.height);
	TIFFGetFieldDefaulted(tiff, TIFFTAG_BITSPERSAMPLE, &bits);
	TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLESPERPIXEL, &samples);
	TIFFGetField(tiff, TIFFTAG_PHOTOMETRIC, &photometric);
	TIFFGetFieldDefaulted(tiff, TIFFTAG_COMPRESSION, &compression);
	TIFFGetFieldDefaulted(tiff, TIFFTAG_RESOLUTIONUNIT, &unit);
	if (TIFFGetField(tiff, TIFFTAG_XRESOLUTION, &resX) && TIFFGetField(tiff, TIFFTAG_YRESOLUTION, &resY) &&
	    unit == RESUNIT_INCH) {
		image.dpiX = resX;
		image.dpiY = resY;
	}
	image.bitDepth = bits;
	image.channels = samples;
	image.photometric = photometric;
	image.compression = compression;
	image.blackIsOne = photometric == PHOTOMETRIC_MINISWHITE;
	const tmsize_t rowBytes = TIFFScanlineSize(tiff);
	image.rows.assign(image.height, std::vector<uint8_t>(rowBytes));
	for (uint32_t y = 0; y < image.height; ++y) {
		if (TIFFReadScanline(tiff, image.rows[y].data(), y, 0) != 1) {
			image.error = "libtiff could not read line " + std::to_string(y);
			TIFFClose(tiff);
			return image;
		}
	}
	TIFFClose(tiff);
	image.ok = true;
	return image;
}

DecodedImage readPnm(const std::string &path)
{
	DecodedImage image;
	std::ifstream in(path, std::ios::binary);
	const std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
	size_t pos = 0;
	auto token = [&]() {
		for (;;) {
			while (pos < data.size() && std::isspace(static_cast<unsigned char>(data[pos])))
				++pos;
			if (pos < data.size() && data[pos] == '#') {
				const size_t end = data.find('\n', pos);
				const std::string comment = data.substr(pos, end - pos);
				unsigned dpi = 0;
				if (std::sscanf(comment.c_str(), "# torvane-scan resolution %u dpi", &dpi) == 1)
					image.dpiX = image.dpiY = dpi;
				pos = end;
				continue;
			}
			break;
		}
		const size_t start = pos;
		while (pos < data.size() && !std::isspace(static_cast<unsigned char>(data[pos])))
			++pos;
		return data.substr(start, pos - start);
	};
	image.pnmMagic = token();
	if (image.pnmMagic != "P4" && image.pnmMagic != "P5" && image.pnmMagic != "P6") {
		image.error = "not a binary PNM file";
		return image;
	}
	image.width = std::stoul(token());
	image.height = std::stoul(token());
	if (image.pnmMagic != "P4" && token() != "255") {
		image.error = "unexpected maximum value";
		return image;
	}
	++pos; // the single whitespace byte before the data
	image.header = data.substr(0, pos);
	image.channels = image.pnmMagic == "P6" ? 3 : 1;
	image.bitDepth = image.pnmMagic == "P4" ? 1 : 8;
	image.blackIsOne = true;
	const size_t rowBytes = image.bitDepth == 1 ? (image.width + 7) / 8 : size_t(image.width) * image.channels;
	if (data.size() - pos != rowBytes * image.height) {
		image.error = "the data holds " + std::to_string(data.size() - pos) + " bytes, not " +
			      std::to_string(rowBytes * image.height);
		return image;
	}
	for (uint32_t y = 0; y < image.height; ++y)
		image.rows.emplace_back(data.begin() + pos + y * rowBytes, data.begin() + pos + (y + 1) * rowBytes);
	image.ok = true;
	return image;
}

} // namespace torvane::scan::test
