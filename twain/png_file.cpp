// SPDX-License-Identifier: MIT
// PNG files: signature, IHDR, pHYs, IDAT chunks as deflate fills them, IEND.

#include "twain/png_file.h"

#include <cstring>

#include <zlib.h>

namespace torvane::twain {

namespace {

constexpr uint8_t kSignature[8] = { 0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n' };
constexpr size_t kIdatPiece = 256u << 10; // deflate's output, one IDAT chunk each
// A fast level: the application waits while the page is coded.
constexpr int kDeflateLevel = 3;
constexpr uint8_t kFilterNone = 0, kFilterUp = 2;

void putBig32(std::vector<uint8_t> &out, uint32_t value)
{
	for (int shift = 24; shift >= 0; shift -= 8)
		out.push_back(static_cast<uint8_t>(value >> shift));
}

void putChunk(std::vector<uint8_t> &out, const char type[4], const uint8_t *data, size_t size)
{
	putBig32(out, static_cast<uint32_t>(size));
	const size_t typeAt = out.size();
	out.insert(out.end(), type, type + 4);
	out.insert(out.end(), data, data + size);
	const uLong crc = crc32(0L, &out[typeAt], static_cast<uInt>(size + 4));
	putBig32(out, static_cast<uint32_t>(crc));
}

void putHeader(std::vector<uint8_t> &out, const ImageShape &shape)
{
	std::vector<uint8_t> header;
	putBig32(header, shape.pixels);
	putBig32(header, shape.lines);
	const uint8_t colourType = shape.bitsPerPixel == 24 ? 2 : 0; // RGB, or grey
	const uint8_t depth = shape.bitsPerPixel == 1 ? 1 : 8;
	header.insert(header.end(), { depth, colourType, 0, 0, 0 }); // deflate, filters, no interlace
	putChunk(out, "IHDR", header.data(), header.size());
}

void putResolution(std::vector<uint8_t> &out, const ImageShape &shape)
{
	// Pixels per metre, rounded as a DIB's.
	const uint32_t perMetre = (shape.dpi * 10000 + 127) / 254;
	std::vector<uint8_t> physical;
	putBig32(physical, perMetre);
	putBig32(physical, perMetre);
	physical.push_back(1); // the unit is the metre
	putChunk(out, "pHYs", physical.data(), physical.size());
}

// One row as PNG filters it: its filter byte, then the samples. 1-bit rows
// are inverted (PNG's bilevel grey is 0 = black) with the padding bits of
// the last byte kept 0; grey and colour rows are "Up" filtered (the
// difference from the row above), which suits scanned pages.
void filterRow(const ImageShape &shape, const uint8_t *row, const uint8_t *above, uint8_t *out)
{
	const uint32_t bytes = shape.bytesPerLine;
	if (shape.bitsPerPixel == 1) {
		out[0] = kFilterNone;
		for (uint32_t i = 0; i < bytes; ++i)
			out[1 + i] = static_cast<uint8_t>(~row[i]);
		if (const uint32_t used = shape.pixels % 8; used != 0 && bytes > 0)
			out[bytes] &= static_cast<uint8_t>(0xFF00 >> used);
		return;
	}
	out[0] = kFilterUp;
	if (!above) {
		std::memcpy(out + 1, row, bytes);
		return;
	}
	for (uint32_t i = 0; i < bytes; ++i)
		out[1 + i] = static_cast<uint8_t>(row[i] - above[i]);
}

class IdatWriter
{
public:
	explicit IdatWriter(std::vector<uint8_t> &file) : file_(file), piece_(kIdatPiece)
	{
		ok_ = deflateInit(&stream_, kDeflateLevel) == Z_OK;
	}
	~IdatWriter() { deflateEnd(&stream_); }
	IdatWriter(const IdatWriter &) = delete;
	IdatWriter &operator=(const IdatWriter &) = delete;

	// Deflates `size` bytes (the last ones with `finish`).
	bool write(const uint8_t *data, size_t size, bool finish)
	{
		if (!ok_)
			return false;
		stream_.next_in = const_cast<Bytef *>(data);
		stream_.avail_in = static_cast<uInt>(size);
		const int flush = finish ? Z_FINISH : Z_NO_FLUSH;
		for (;;) {
			stream_.next_out = piece_.data() + used_;
			stream_.avail_out = static_cast<uInt>(piece_.size() - used_);
			const int result = deflate(&stream_, flush);
			if (result == Z_STREAM_ERROR)
				return ok_ = false;
			used_ = piece_.size() - stream_.avail_out;
			if (used_ == piece_.size() || (finish && used_ > 0))
				emit();
			if (finish ? result == Z_STREAM_END : stream_.avail_in == 0 && stream_.avail_out != 0)
				return true;
		}
	}

private:
	void emit()
	{
		putChunk(file_, "IDAT", piece_.data(), used_);
		used_ = 0;
	}

	std::vector<uint8_t> &file_;
	std::vector<uint8_t> piece_;
	size_t used_ = 0;
	z_stream stream_{};
	bool ok_ = false;
};

} // namespace

std::vector<uint8_t> pngFile(const ImageShape &shape, const uint8_t *image)
{
	std::vector<uint8_t> file(std::begin(kSignature), std::end(kSignature));
	putHeader(file, shape);
	putResolution(file, shape);
	{
		IdatWriter idat(file);
		std::vector<uint8_t> row(size_t(shape.bytesPerLine) + 1);
		for (uint32_t line = 0; line < shape.lines; ++line) {
			const uint8_t *from = image + size_t(line) * shape.bytesPerLine;
			filterRow(shape, from, line == 0 ? nullptr : from - shape.bytesPerLine, row.data());
			if (!idat.write(row.data(), row.size(), false))
				return {};
		}
		if (!idat.write(nullptr, 0, true))
			return {};
	}
	putChunk(file, "IEND", nullptr, 0);
	return file;
}

} // namespace torvane::twain
