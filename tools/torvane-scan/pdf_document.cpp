// SPDX-License-Identifier: MIT
// A PDF of scanned pages with libharu, JPEG pages with libjpeg-turbo.

#include "pdf_document.h"

#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <unistd.h>

#include <hpdf.h>
#include <jpeglib.h>

namespace torvane::scan {

namespace {

constexpr double kPointsPerInch = 72.0;

// libjpeg reports errors through a jump out of the encoder.
struct JpegError {
	jpeg_error_mgr manager;
	std::jmp_buf back;
	char message[JMSG_LENGTH_MAX];
};

void onJpegError(j_common_ptr info)
{
	auto *error = reinterpret_cast<JpegError *>(info->err);
	(*info->err->format_message)(info, error->message);
	std::longjmp(error->back, 1);
}

void onHaruError(HPDF_STATUS error, HPDF_STATUS detail, void *user)
{
	auto *text = static_cast<std::string *>(user);
	char line[96];
	std::snprintf(line, sizeof(line), "PDF: error 0x%04X (detail %u)", static_cast<unsigned>(error),
		      static_cast<unsigned>(detail));
	*text = line;
}

} // namespace

bool encodeJpeg(const uint8_t *pixels, const ImageGeometry &geometry, unsigned quality, std::vector<uint8_t> *jpeg,
		std::string *error)
{
	jpeg_compress_struct info{};
	JpegError failure{};
	info.err = jpeg_std_error(&failure.manager);
	failure.manager.error_exit = onJpegError;
	unsigned char *buffer = nullptr;
	unsigned long size = 0;
	if (setjmp(failure.back)) {
		jpeg_destroy_compress(&info);
		std::free(buffer);
		*error = std::string("JPEG: ") + failure.message;
		return false;
	}
	jpeg_create_compress(&info);
	jpeg_mem_dest(&info, &buffer, &size);
	const bool colour = geometry.kind == PixelKind::Colour;
	info.image_width = geometry.width;
	info.image_height = geometry.height;
	info.input_components = colour ? 3 : 1;
	info.in_color_space = colour ? JCS_RGB : JCS_GRAYSCALE;
	jpeg_set_defaults(&info);
	jpeg_set_quality(&info, static_cast<int>(quality), TRUE);
	info.density_unit = 1; // dots per inch
	info.X_density = info.Y_density = static_cast<UINT16>(geometry.dpi);
	jpeg_start_compress(&info, TRUE);
	while (info.next_scanline < info.image_height) {
		// libjpeg takes rows it does not change through a non-const pointer.
		JSAMPROW row = const_cast<JSAMPROW>(pixels + size_t(info.next_scanline) * geometry.bytesPerLine);
		jpeg_write_scanlines(&info, &row, 1);
	}
	jpeg_finish_compress(&info);
	jpeg_destroy_compress(&info);
	jpeg->assign(buffer, buffer + size);
	std::free(buffer);
	return true;
}

struct PdfDocument::Library {
	HPDF_Doc doc = nullptr;
};

PdfDocument::PdfDocument(const PdfSettings &settings) : library_(std::make_unique<Library>()), settings_(settings)
{
	library_->doc = HPDF_New(onHaruError, &error_);
	if (!library_->doc) {
		error_ = "PDF: the document could not be created";
		return;
	}
	// Flate for the page contents and, lossless, for the images.
	HPDF_SetCompressionMode(library_->doc, HPDF_COMP_ALL);
	HPDF_SetInfoAttr(library_->doc, HPDF_INFO_CREATOR, "torvane-scan");
}

PdfDocument::~PdfDocument()
{
	if (library_->doc)
		HPDF_Free(library_->doc);
}

bool PdfDocument::addPage(const uint8_t *pixels, const ImageGeometry &geometry)
{
	HPDF_Doc doc = library_->doc;
	if (!doc)
		return false;
	HPDF_Image image = nullptr;
	std::vector<uint8_t> jpeg;
	if (geometry.kind == PixelKind::Bilevel) {
		// G4, which loses nothing; first line at the top. The driver's 1 is
		// black: libharu's encoder codes set bits as black when told that
		// black is not 1 (checked by the tests with pdfimages and pdftoppm).
		image = HPDF_Image_LoadRaw1BitImageFromMem(doc, pixels, geometry.width, geometry.height,
							   geometry.bytesPerLine, HPDF_FALSE, HPDF_TRUE);
	} else if (settings_.lossless) {
		image = HPDF_LoadRawImageFromMem(doc, pixels, geometry.width, geometry.height,
						 geometry.kind == PixelKind::Colour ? HPDF_CS_DEVICE_RGB
										    : HPDF_CS_DEVICE_GRAY,
						 8);
	} else {
		if (!encodeJpeg(pixels, geometry, settings_.quality, &jpeg, &error_))
			return false;
		image = HPDF_LoadJpegImageFromMem(doc, jpeg.data(), static_cast<HPDF_UINT>(jpeg.size()));
	}
	if (!image)
		return false;
	const double width = geometry.width * kPointsPerInch / geometry.dpi;
	const double height = geometry.height * kPointsPerInch / geometry.dpi;
	HPDF_Page page = HPDF_AddPage(doc);
	if (!page || HPDF_Page_SetWidth(page, static_cast<HPDF_REAL>(width)) != HPDF_OK ||
	    HPDF_Page_SetHeight(page, static_cast<HPDF_REAL>(height)) != HPDF_OK ||
	    HPDF_Page_DrawImage(page, image, 0, 0, static_cast<HPDF_REAL>(width), static_cast<HPDF_REAL>(height)) !=
		    HPDF_OK)
		return false;
	++pages_;
	return true;
}

bool PdfDocument::write(int fd)
{
	HPDF_Doc doc = library_->doc;
	if (!doc || HPDF_SaveToStream(doc) != HPDF_OK)
		return false;
	HPDF_ResetStream(doc);
	std::vector<HPDF_BYTE> buffer(1 << 16);
	for (;;) {
		HPDF_UINT32 length = static_cast<HPDF_UINT32>(buffer.size());
		const HPDF_STATUS status = HPDF_ReadFromStream(doc, buffer.data(), &length);
		for (HPDF_UINT32 done = 0; done < length;) {
			const ssize_t written = ::write(fd, buffer.data() + done, length - done);
			if (written < 0 && errno == EINTR)
				continue;
			if (written <= 0) {
				error_ = std::string("the PDF could not be written: ") + std::strerror(errno);
				return false;
			}
			done += static_cast<HPDF_UINT32>(written);
		}
		if (status == HPDF_STREAM_EOF)
			return true;
		if (status != HPDF_OK)
			return false;
	}
}

} // namespace torvane::scan
