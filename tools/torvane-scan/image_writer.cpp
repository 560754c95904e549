// SPDX-License-Identifier: MIT
// Writers of the scanned image: PNG (libpng), TIFF (libtiff; 1-bit as CCITT
// G4) and PNM (PPM/PGM/PBM), each recording the resolution.

#include "image_writer.h"

#include <cerrno>
#include <cmath>
#include <csetjmp>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>

#include <unistd.h>

#include <png.h>
#include <tiffio.h>

namespace torvane::scan {

namespace {

std::string systemError(const char *what)
{
	return std::string(what) + ": " + std::strerror(errno);
}

// Flushes the file to its storage. A device, FIFO or pipe written in place
// has nothing to flush and answers EINVAL: that is no write error.
bool syncToStorage(int fd)
{
	return ::fsync(fd) == 0 || errno == EINVAL || errno == ENOTSUP;
}

// ---------------------------------------------------------------------------
// PNG: 8-bit RGB or grey, 1-bit grey. PNG's 1-bit grey has 0 black, the
// driver's line art 1 black: the bits are inverted on the way out.

class PngWriter : public ImageWriter
{
public:
	PngWriter(FILE *file, const ImageGeometry &geometry) : file_(file), geometry_(geometry), row_(geometry.bytesPerLine) {}
	~PngWriter() override
	{
		if (png_)
			png_destroy_write_struct(&png_, &info_);
		if (file_)
			std::fclose(file_);
	}

	bool start()
	{
		png_ = png_create_write_struct(PNG_LIBPNG_VER_STRING, this, &PngWriter::onError, &PngWriter::onWarning);
		if (!png_) {
			error_ = "the PNG writer could not be created";
			return false;
		}
		info_ = png_create_info_struct(png_);
		if (!info_) {
			error_ = "the PNG writer could not be created";
			return false;
		}
		return writeHeader();
	}

	bool writeLines(const uint8_t *lines, uint32_t count) override
	{
		for (uint32_t i = 0; i < count; ++i) {
			const uint8_t *line = lines + size_t(i) * geometry_.bytesPerLine;
			std::memcpy(row_.data(), line, row_.size());
			if (geometry_.kind == PixelKind::Bilevel)
				for (uint8_t &byte : row_)
					byte = static_cast<uint8_t>(~byte);
			if (!writeRow())
				return false;
		}
		return true;
	}

	bool finish() override
	{
		if (!writeEnd())
			return false;
		png_destroy_write_struct(&png_, &info_);
		png_ = nullptr;
		info_ = nullptr;
		const bool flushed = std::fflush(file_) == 0 && syncToStorage(fileno(file_));
		const bool closed = std::fclose(file_) == 0;
		file_ = nullptr;
		if (!flushed || !closed) {
			error_ = systemError("the image could not be written");
			return false;
		}
		return true;
	}

private:
	static void onError(png_structp png, png_const_charp message)
	{
		auto *self = static_cast<PngWriter *>(png_get_error_ptr(png));
		self->error_ = std::string("PNG: ") + message;
		if (errno != 0)
			self->error_ += std::string(" (") + std::strerror(errno) + ")";
		png_longjmp(png, 1);
	}
	static void onWarning(png_structp, png_const_charp) {}

	// The steps that libpng may leave by longjmp hold no objects with
	// destructors.
	bool writeHeader()
	{
		if (setjmp(png_jmpbuf(png_)))
			return false;
		png_init_io(png_, file_);
		const bool bilevel = geometry_.kind == PixelKind::Bilevel;
		png_set_IHDR(png_, info_, geometry_.width, geometry_.height, bilevel ? 1 : 8,
			     geometry_.kind == PixelKind::Colour ? PNG_COLOR_TYPE_RGB : PNG_COLOR_TYPE_GRAY,
			     PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
		const auto perMetre = static_cast<png_uint_32>(std::lround(geometry_.dpi / 0.0254));
		png_set_pHYs(png_, info_, perMetre, perMetre, PNG_RESOLUTION_METER);
		png_write_info(png_, info_);
		return true;
	}
	bool writeRow()
	{
		errno = 0;
		if (setjmp(png_jmpbuf(png_)))
			return false;
		png_write_row(png_, row_.data());
		return true;
	}
	bool writeEnd()
	{
		errno = 0;
		if (setjmp(png_jmpbuf(png_)))
			return false;
		png_write_end(png_, nullptr);
		return true;
	}

	FILE *file_;
	ImageGeometry geometry_;
	std::vector<uint8_t> row_;
	png_structp png_ = nullptr;
	png_infop info_ = nullptr;
};

// ---------------------------------------------------------------------------
// TIFF: RGB or grey with LZW, 1-bit with CCITT G4. Photometric
// min-is-white keeps the driver's 1 = black as it is.

thread_local std::string tiffMessage;

void onTiffError(const char *module, const char *format, va_list args)
{
	char text[512];
	std::vsnprintf(text, sizeof(text), format, args);
	tiffMessage = std::string("TIFF: ") + (module ? std::string(module) + ": " : std::string()) + text;
}

void onTiffWarning(const char *, const char *, va_list) {}

class TiffWriter : public ImageWriter
{
public:
	TiffWriter(TIFF *tiff, const ImageGeometry &geometry) : tiff_(tiff), geometry_(geometry), row_(geometry.bytesPerLine) {}
	~TiffWriter() override
	{
		if (tiff_)
			TIFFClose(tiff_);
	}

	bool start()
	{
		const bool bilevel = geometry_.kind == PixelKind::Bilevel;
		const bool colour = geometry_.kind == PixelKind::Colour;
		const float dpi = static_cast<float>(geometry_.dpi);
		bool ok = TIFFSetField(tiff_, TIFFTAG_IMAGEWIDTH, geometry_.width) &&
			  TIFFSetField(tiff_, TIFFTAG_IMAGELENGTH, geometry_.height) &&
			  TIFFSetField(tiff_, TIFFTAG_BITSPERSAMPLE, bilevel ? 1 : 8) &&
			  TIFFSetField(tiff_, TIFFTAG_SAMPLESPERPIXEL, colour ? 3 : 1) &&
			  TIFFSetField(tiff_, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG) &&
			  TIFFSetField(tiff_, TIFFTAG_PHOTOMETRIC,
				       colour ? PHOTOMETRIC_RGB : (bilevel ? PHOTOMETRIC_MINISWHITE : PHOTOMETRIC_MINISBLACK)) &&
			  TIFFSetField(tiff_, TIFFTAG_XRESOLUTION, dpi) &&
			  TIFFSetField(tiff_, TIFFTAG_YRESOLUTION, dpi) &&
			  TIFFSetField(tiff_, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH) &&
			  TIFFSetField(tiff_, TIFFTAG_SOFTWARE, "torvane-scan");
		if (ok && bilevel) {
			ok = TIFFSetField(tiff_, TIFFTAG_COMPRESSION, COMPRESSION_CCITTFAX4) &&
			     TIFFSetField(tiff_, TIFFTAG_FILLORDER, FILLORDER_MSB2LSB) &&
			     TIFFSetField(tiff_, TIFFTAG_ROWSPERSTRIP, geometry_.height);
		} else if (ok) {
			ok = TIFFSetField(tiff_, TIFFTAG_COMPRESSION, COMPRESSION_LZW) &&
			     TIFFSetField(tiff_, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL) &&
			     TIFFSetField(tiff_, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(tiff_, 0));
		}
		if (!ok)
			error_ = tiffMessage.empty() ? "TIFF: the header could not be set up" : tiffMessage;
		return ok;
	}

	bool writeLines(const uint8_t *lines, uint32_t count) override
	{
		for (uint32_t i = 0; i < count; ++i, ++nextRow_) {
			std::memcpy(row_.data(), lines + size_t(i) * geometry_.bytesPerLine, row_.size());
			if (TIFFWriteScanline(tiff_, row_.data(), nextRow_, 0) != 1) {
				error_ = tiffMessage.empty() ? "TIFF: a line could not be written" : tiffMessage;
				return false;
			}
		}
		return true;
	}

	// Each page its own directory.
	bool nextPage() override
	{
		if (TIFFWriteDirectory(tiff_) != 1) {
			error_ = tiffMessage.empty() ? "TIFF: the page could not be written" : tiffMessage;
			return false;
		}
		nextRow_ = 0;
		return start();
	}

	bool finish() override
	{
		errno = 0;
		const bool flushed = TIFFFlush(tiff_) == 1 && syncToStorage(TIFFFileno(tiff_));
		TIFFClose(tiff_);
		tiff_ = nullptr;
		if (!flushed) {
			error_ = tiffMessage.empty() ? systemError("the image could not be written") : tiffMessage;
			return false;
		}
		return true;
	}

private:
	TIFF *tiff_;
	ImageGeometry geometry_;
	std::vector<uint8_t> row_;
	uint32_t nextRow_ = 0;
};

// ---------------------------------------------------------------------------
// PNM: P6 colour, P5 grey, P4 bits (1 black, as the driver delivers). The
// format has no resolution field: it goes into a header comment.

class PnmWriter : public ImageWriter
{
public:
	PnmWriter(FILE *file, const ImageGeometry &geometry) : file_(file), geometry_(geometry) {}
	~PnmWriter() override
	{
		if (file_)
			std::fclose(file_);
	}

	bool start()
	{
		const char *magic = geometry_.kind == PixelKind::Colour ? "P6" : (geometry_.kind == PixelKind::Grey ? "P5" : "P4");
		int written = std::fprintf(file_, "%s\n# torvane-scan resolution %u dpi\n%u %u\n", magic, geometry_.dpi,
					   geometry_.width, geometry_.height);
		if (written > 0 && geometry_.kind != PixelKind::Bilevel)
			written = std::fprintf(file_, "255\n");
		if (written <= 0) {
			error_ = systemError("the image could not be written");
			return false;
		}
		return true;
	}

	bool writeLines(const uint8_t *lines, uint32_t count) override
	{
		const size_t bytes = size_t(count) * geometry_.bytesPerLine;
		if (std::fwrite(lines, 1, bytes, file_) != bytes) {
			error_ = systemError("the image could not be written");
			return false;
		}
		return true;
	}

	bool finish() override
	{
		const bool flushed = std::fflush(file_) == 0 && syncToStorage(fileno(file_));
		const bool closed = std::fclose(file_) == 0;
		file_ = nullptr;
		if (!flushed || !closed) {
			error_ = systemError("the image could not be written");
			return false;
		}
		return true;
	}

private:
	FILE *file_;
	ImageGeometry geometry_;
};

} // namespace

std::unique_ptr<ImageWriter> createImageWriter(OutputFormat format, int fd, const ImageGeometry &geometry,
					       std::string *error)
{
	if (geometry.width == 0 || geometry.height == 0 || geometry.bytesPerLine == 0) {
		::close(fd);
		*error = "empty image";
		return nullptr;
	}
	if (format == OutputFormat::Tiff) {
		TIFFSetErrorHandler(onTiffError);
		TIFFSetWarningHandler(onTiffWarning);
		tiffMessage.clear();
		TIFF *tiff = TIFFFdOpen(fd, "image", "w");
		if (!tiff) {
			::close(fd);
			*error = tiffMessage.empty() ? "TIFF: the file could not be opened" : tiffMessage;
			return nullptr;
		}
		auto writer = std::make_unique<TiffWriter>(tiff, geometry);
		if (!writer->start()) {
			*error = writer->error();
			return nullptr;
		}
		return writer;
	}

	FILE *file = ::fdopen(fd, "wb");
	if (!file) {
		*error = systemError("the image file could not be opened");
		::close(fd);
		return nullptr;
	}
	if (format == OutputFormat::Png) {
		auto writer = std::make_unique<PngWriter>(file, geometry);
		if (!writer->start()) {
			*error = writer->error();
			return nullptr;
		}
		return writer;
	}
	auto writer = std::make_unique<PnmWriter>(file, geometry);
	if (!writer->start()) {
		*error = writer->error();
		return nullptr;
	}
	return writer;
}

} // namespace torvane::scan
