// SPDX-License-Identifier: MIT
// Writers of the scanned image: PNG (libpng), TIFF (libtiff; 1-bit as CCITT
// G4) and PNM (PPM/PGM/PBM), each recording the resolution.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "options.h"
#include "output_file.h"
#include "scan_plan.h"

namespace torvane::scan {

// Receives the image line after line in the layout the driver delivers
// (ImageGeometry), converts what the format needs (1-bit polarity) and writes
// it to an already open file descriptor, which it owns.
class ImageWriter
{
public:
	virtual ~ImageWriter() = default;

	// `count` lines of geometry.bytesPerLine bytes each.
	virtual bool writeLines(const uint8_t *lines, uint32_t count) = 0;
	// Completes the file after the last line and closes it; false when
	// anything could not be written (disk full, I/O error).
	virtual bool finish() = 0;
	// Ends the page written so far and begins the next one of the same
	// geometry; only formats that hold several pages (TIFF) can.
	virtual bool nextPage()
	{
		error_ = "the format holds one page";
		return false;
	}

	const std::string &error() const { return error_; }

protected:
	std::string error_;
};

// Null with `error` set when the writer cannot be set up. Takes ownership of
// `fd` in every case.
std::unique_ptr<ImageWriter> createImageWriter(OutputFormat format, int fd, const ImageGeometry &geometry,
					       std::string *error);

} // namespace torvane::scan
