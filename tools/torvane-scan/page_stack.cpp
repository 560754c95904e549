// SPDX-License-Identifier: MIT
// The pages of a stack: the encoder thread, one file per page, a multi-page
// TIFF and a PDF.

#include "page_stack.h"

#include <unistd.h>

#include "cancel.h"
#include "image_writer.h"
#include "output_file.h"
#include "pdf_document.h"

namespace torvane::scan {

namespace {

constexpr size_t kPagesInFlight = 2;

// A whole page of `geometry` into `writer`, line by line.
bool writePage(ImageWriter &writer, const std::vector<uint8_t> &pixels, const ImageGeometry &geometry)
{
	return writer.writeLines(pixels.data(), geometry.height);
}

class NumberedFiles : public PageStack
{
public:
	~NumberedFiles() override { stopEncoder(); }
	NumberedFiles(const Options &options, const ImageGeometry &geometry, const PageNumberField &field)
		: PageStack(geometry), pattern_(options.output), field_(field), format_(options.format)
	{
	}

	std::string destination() const override
	{
		if (last_ <= 1)
			return pageFileName(pattern_, field_, 1);
		return pageFileName(pattern_, field_, 1) + " ... " + pageFileName(pattern_, field_, last_);
	}

protected:
	bool encode(const std::vector<uint8_t> &pixels, uint32_t number, std::string *error) override
	{
		const std::string path = pageFileName(pattern_, field_, number);
		OutputFile output(path);
		const int fd = output.create(error, format_ == OutputFormat::Tiff);
		if (fd < 0)
			return false;
		auto writer = createImageWriter(format_, fd, geometry_, error);
		if (!writer)
			return false;
		if (!writePage(*writer, pixels, geometry_) || !writer->finish()) {
			*error = "cannot write '" + path + "': " + writer->error();
			return false;
		}
		if (!output.commit(error))
			return false;
		last_ = number;
		return true;
	}
	bool complete(std::string *) override { return true; }

private:
	std::string pattern_;
	PageNumberField field_;
	OutputFormat format_;
	uint32_t last_ = 0;
};

class TiffStack : public PageStack
{
public:
	~TiffStack() override { stopEncoder(); }
	TiffStack(const Options &options, const ImageGeometry &geometry) : PageStack(geometry), output_(options.output), path_(options.output) {}

	std::string destination() const override { return path_; }

	// The file is opened before the first page is scanned: a path that
	// cannot be written fails before anything moves.
	bool open(std::string *error)
	{
		const int fd = output_.create(error, true);
		if (fd < 0)
			return false;
		writer_ = createImageWriter(OutputFormat::Tiff, fd, geometry_, error);
		return writer_ != nullptr;
	}

protected:
	bool encode(const std::vector<uint8_t> &pixels, uint32_t number, std::string *error) override
	{
		if (number > 1 && !writer_->nextPage()) {
			*error = "cannot write '" + path_ + "': " + writer_->error();
			return false;
		}
		if (!writePage(*writer_, pixels, geometry_)) {
			*error = "cannot write '" + path_ + "': " + writer_->error();
			return false;
		}
		return true;
	}

	bool complete(std::string *error) override
	{
		if (!writer_->finish()) {
			*error = "cannot write '" + path_ + "': " + writer_->error();
			return false;
		}
		return output_.commit(error);
	}

private:
	OutputFile output_;
	std::string path_;
	std::unique_ptr<ImageWriter> writer_;
};

// The pages are encoded as they come; the file is written once, complete.
class PdfStack : public PageStack
{
public:
	~PdfStack() override
	{
		stopEncoder();
		if (fd_ >= 0)
			::close(fd_);
	}
	PdfStack(const Options &options, const ImageGeometry &geometry)
		: PageStack(geometry), output_(options.output), path_(options.output),
		  document_(PdfSettings{ options.quality, options.lossless })
	{
	}

	std::string destination() const override { return path_; }

	// As for a TIFF, the file is opened before the first page is scanned.
	bool open(std::string *error)
	{
		fd_ = output_.create(error);
		return fd_ >= 0;
	}

protected:
	bool encode(const std::vector<uint8_t> &pixels, uint32_t, std::string *error) override
	{
		if (document_.addPage(pixels.data(), geometry_))
			return true;
		*error = "cannot make the PDF: " + document_.error();
		return false;
	}

	bool complete(std::string *error) override
	{
		const int fd = fd_;
		fd_ = -1;
		const bool written = document_.write(fd);
		const bool closed = ::fsync(fd) == 0 && ::close(fd) == 0;
		if (!written || !closed) {
			*error = "cannot write '" + path_ + "': " + document_.error();
			return false;
		}
		return output_.commit(error);
	}

private:
	OutputFile output_;
	std::string path_;
	PdfDocument document_;
	int fd_ = -1;
};

} // namespace

PageStack::~PageStack()
{
	stopEncoder();
}

void PageStack::stopEncoder()
{
	{
		std::lock_guard<std::mutex> guard(mutex_);
		closing_ = true;
	}
	changed_.notify_all();
	if (encoder_.joinable())
		encoder_.join();
}

void PageStack::start()
{
	CancelSignalsBlocked blocked;
	encoder_ = std::thread([this] { encodePages(); });
}

bool PageStack::add(std::vector<uint8_t> pixels)
{
	std::unique_lock<std::mutex> lock(mutex_);
	changed_.wait(lock, [this] { return failed_ || queue_.size() < kPagesInFlight; });
	if (failed_)
		return false;
	queue_.push_back(std::move(pixels));
	changed_.notify_all();
	return true;
}

void PageStack::encodePages()
{
	std::unique_lock<std::mutex> lock(mutex_);
	for (;;) {
		changed_.wait(lock, [this] { return closing_ || !queue_.empty(); });
		if (queue_.empty())
			return;
		// The page stays queued while it is encoded: add() counts it in flight.
		const std::vector<uint8_t> &pixels = queue_.front();
		const uint32_t number = encoded_ + 1;
		lock.unlock();
		std::string error;
		const bool ok = encode(pixels, number, &error);
		lock.lock();
		queue_.pop_front();
		if (ok) {
			++encoded_;
		} else if (!failed_) {
			failed_ = true;
			error_ = error;
			queue_.clear();
		}
		changed_.notify_all();
	}
}

bool PageStack::finish()
{
	stopEncoder();
	std::lock_guard<std::mutex> guard(mutex_);
	if (failed_ || encoded_ == 0)
		return false;
	std::string error;
	if (!complete(&error)) {
		error_ = error;
		return false;
	}
	written_ = encoded_;
	return true;
}

std::string PageStack::error() const
{
	std::lock_guard<std::mutex> guard(mutex_);
	return error_;
}

std::unique_ptr<PageStack> createPageStack(const Options &options, const ImageGeometry &geometry, std::string *error)
{
	std::unique_ptr<PageStack> stack;
	if (options.numbered()) {
		const auto field = pageNumberField(options.output);
		if (!field) {
			*error = "cannot number the pages of '" + options.output + "'";
			return nullptr;
		}
		stack = std::make_unique<NumberedFiles>(options, geometry, *field);
	} else if (options.format == OutputFormat::Pdf) {
		auto pdf = std::make_unique<PdfStack>(options, geometry);
		if (!pdf->open(error))
			return nullptr;
		stack = std::move(pdf);
	} else if (options.format == OutputFormat::Tiff) {
		auto tiff = std::make_unique<TiffStack>(options, geometry);
		if (!tiff->open(error))
			return nullptr;
		stack = std::move(tiff);
	} else {
		*error = "PNG and PNM hold one page: write a stack to a PDF, a TIFF or 'page-%03d.png'";
		return nullptr;
	}
	stack->start();
	return stack;
}

} // namespace torvane::scan
