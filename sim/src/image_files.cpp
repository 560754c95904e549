// SPDX-License-Identifier: MIT
// Loading document pictures: PNG (through libpng) and binary PNM (P5, P6).

#include "torvane_sim/document.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

#include <png.h>

namespace torvane::sim {

namespace {

// Pictures beyond this are refused rather than allocated.
constexpr uint32_t kMaxSide = 100000;
constexpr uint64_t kMaxPixels = 400'000'000;

bool sizeAcceptable(uint64_t width, uint64_t height)
{
	return width > 0 && height > 0 && width <= kMaxSide && height <= kMaxSide && width * height <= kMaxPixels;
}

void setError(std::string *error, const std::string &message)
{
	if (error)
		*error = message;
}

std::string baseName(const std::string &path)
{
	const size_t slash = path.find_last_of('/');
	return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool readWholeFile(const std::string &path, std::vector<uint8_t> &bytes)
{
	std::ifstream file(path, std::ios::binary);
	if (!file)
		return false;
	bytes.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
	return !file.bad();
}

uint32_t bigEndian32(const uint8_t *bytes)
{
	return static_cast<uint32_t>(bytes[0]) << 24 | static_cast<uint32_t>(bytes[1]) << 16 |
	       static_cast<uint32_t>(bytes[2]) << 8 | bytes[3];
}

// The resolution a PNG states in its pHYs chunk (pixels per metre), or 0.
// Walks the chunk list up to the first IDAT, every length checked.
uint32_t pngDpi(const std::vector<uint8_t> &file)
{
	size_t at = 8;
	while (at + 12 <= file.size()) {
		const uint32_t length = bigEndian32(&file[at]);
		const uint8_t *type = &file[at + 4];
		if (length > file.size() - at - 12)
			return 0;
		if (std::memcmp(type, "IDAT", 4) == 0)
			return 0;
		if (std::memcmp(type, "pHYs", 4) == 0 && length == 9) {
			const uint8_t *data = &file[at + 8];
			const uint32_t perMetre = bigEndian32(data);
			if (data[8] != 1 || perMetre == 0)
				return 0;
			const double dpi = std::round(perMetre * 0.0254);
			return dpi >= 10 && dpi <= 9600 ? static_cast<uint32_t>(dpi) : 0;
		}
		at += 12 + length;
	}
	return 0;
}

std::unique_ptr<ImageDocument> loadPng(const std::vector<uint8_t> &file, std::string *error, uint32_t &dpi)
{
	png_image image{};
	image.version = PNG_IMAGE_VERSION;
	if (!png_image_begin_read_from_memory(&image, file.data(), file.size())) {
		setError(error, std::string("not a readable PNG: ") + image.message);
		return nullptr;
	}
	if (!sizeAcceptable(image.width, image.height)) {
		png_image_free(&image);
		setError(error, "PNG too large");
		return nullptr;
	}
	image.format = PNG_FORMAT_RGB;
	RgbImage rgb;
	rgb.resize(image.width, image.height);
	// Transparent parts lie on white paper.
	png_color background{ 0xFF, 0xFF, 0xFF };
	if (!png_image_finish_read(&image, &background, rgb.pixels.data(), 0, nullptr)) {
		setError(error, std::string("PNG decoding failed: ") + image.message);
		png_image_free(&image);
		return nullptr;
	}
	dpi = pngDpi(file);
	return std::make_unique<ImageDocument>(std::move(rgb), dpi);
}

// A PNM header token: skips white space and comments.
bool pnmNumber(const std::vector<uint8_t> &file, size_t &at, uint32_t &value)
{
	while (at < file.size()) {
		if (file[at] == '#') {
			while (at < file.size() && file[at] != '\n')
				++at;
		} else if (std::isspace(file[at])) {
			++at;
		} else {
			break;
		}
	}
	if (at >= file.size() || !std::isdigit(file[at]))
		return false;
	uint64_t number = 0;
	while (at < file.size() && std::isdigit(file[at])) {
		number = number * 10 + (file[at] - '0');
		if (number > 0xFFFFFFFFull)
			return false;
		++at;
	}
	value = static_cast<uint32_t>(number);
	return true;
}

std::unique_ptr<ImageDocument> loadPnm(const std::vector<uint8_t> &file, std::string *error)
{
	const bool colour = file[1] == '6';
	size_t at = 2;
	uint32_t width = 0, height = 0, maxValue = 0;
	if (!pnmNumber(file, at, width) || !pnmNumber(file, at, height) || !pnmNumber(file, at, maxValue) ||
	    at >= file.size() || !std::isspace(file[at])) {
		setError(error, "bad PNM header");
		return nullptr;
	}
	++at; // the single white space before the samples
	if (!sizeAcceptable(width, height) || maxValue == 0 || maxValue > 65535) {
		setError(error, "PNM size or maximum value out of range");
		return nullptr;
	}
	const uint64_t channels = colour ? 3 : 1;
	const uint64_t sampleBytes = maxValue > 255 ? 2 : 1;
	const uint64_t needed = uint64_t(width) * height * channels * sampleBytes;
	if (file.size() - at < needed) {
		setError(error, "PNM data truncated");
		return nullptr;
	}
	RgbImage rgb;
	rgb.resize(width, height);
	const uint8_t *in = file.data() + at;
	const uint64_t pixels = uint64_t(width) * height;
	for (uint64_t i = 0; i < pixels; ++i) {
		for (uint64_t c = 0; c < 3; ++c) {
			const uint64_t sample = colour ? i * 3 + c : i;
			uint32_t value = sampleBytes == 2 ? (in[sample * 2] << 8 | in[sample * 2 + 1]) : in[sample];
			value = std::min(value, maxValue);
			rgb.pixels[i * 3 + c] = static_cast<uint8_t>((value * 255u + maxValue / 2) / maxValue);
		}
	}
	return std::make_unique<ImageDocument>(std::move(rgb), 0);
}

} // namespace

std::unique_ptr<ImageDocument> ImageDocument::load(const std::string &path, std::string *error)
{
	std::vector<uint8_t> file;
	if (!readWholeFile(path, file)) {
		setError(error, "cannot read " + path);
		return nullptr;
	}
	static const uint8_t pngSignature[8] = { 0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n' };
	std::unique_ptr<ImageDocument> document;
	uint32_t dpi = 0;
	if (file.size() >= 8 && std::memcmp(file.data(), pngSignature, 8) == 0)
		document = loadPng(file, error, dpi);
	else if (file.size() >= 3 && file[0] == 'P' && (file[1] == '5' || file[1] == '6'))
		document = loadPnm(file, error);
	else
		setError(error, path + ": neither PNG nor binary PNM (P5/P6)");
	if (!document)
		return nullptr;
	document->name_ = baseName(path);
	if (dpi)
		document->dpi_ = dpi;
	return document;
}

} // namespace torvane::sim
