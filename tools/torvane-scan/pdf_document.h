// SPDX-License-Identifier: MIT
// A PDF of scanned pages, made with libharu: 1-bit pages CCITT G4, grey and
// colour pages JPEG (libjpeg-turbo) or, lossless, Flate.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "scan_plan.h"

namespace torvane::scan {

struct PdfSettings {
	unsigned quality = 85; // JPEG quality
	bool lossless = false; // Flate instead of JPEG
};

// The JPEG bytes of a grey or colour image in the driver's layout.
bool encodeJpeg(const uint8_t *pixels, const ImageGeometry &geometry, unsigned quality, std::vector<uint8_t> *jpeg,
		std::string *error);

class PdfDocument
{
public:
	explicit PdfDocument(const PdfSettings &settings);
	~PdfDocument();
	PdfDocument(const PdfDocument &) = delete;
	PdfDocument &operator=(const PdfDocument &) = delete;

	// Adds a page as large as the image's pixels at its resolution.
	bool addPage(const uint8_t *pixels, const ImageGeometry &geometry);
	// The whole document written to `fd` (not closed).
	bool write(int fd);
	uint32_t pages() const { return pages_; }
	const std::string &error() const { return error_; }

private:
	struct Library;
	std::unique_ptr<Library> library_;
	PdfSettings settings_;
	uint32_t pages_ = 0;
	std::string error_;
};

} // namespace torvane::scan
