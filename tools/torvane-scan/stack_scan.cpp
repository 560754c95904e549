// SPDX-License-Identifier: MIT
// torvane-scan's stacks: page after page from the document feeder, each its
// own scan cycle, into one PDF, one TIFF or one file per page.

#include <cstring>

#include "cancel.h"
#include "client/batch.h"
#include "error_messages.h"
#include "frontend.h"

namespace torvane::scan {

namespace {

// Keeps a page in memory for the page stack.
class PageInMemory : public ImageWriter
{
public:
	explicit PageInMemory(const ImageGeometry &geometry) : bytesPerLine_(geometry.bytesPerLine)
	{
		pixels_.reserve(geometry.imageBytes());
	}
	bool writeLines(const uint8_t *lines, uint32_t count) override
	{
		pixels_.insert(pixels_.end(), lines, lines + size_t(count) * bytesPerLine_);
		return true;
	}
	bool finish() override { return true; }
	std::vector<uint8_t> take() { return std::move(pixels_); }

private:
	uint32_t bytesPerLine_;
	std::vector<uint8_t> pixels_;
};

std::string pagesText(uint32_t n)
{
	return std::to_string(n) + (n == 1 ? " page" : " pages");
}

} // namespace

// Why the stack ended: the feeder ran out (or the count was reached), or the
// page `page` was not scanned for `code` (or was cancelled), or its pages
// could not be kept.
struct Frontend::StackEnd {
	bool cancelled = false;
	bool fileFailed = false;
	bool failed = false;
	uint32_t page = 0;
	int32_t code = 0;
	std::string what;
};

ExitCode Frontend::scanStack(const ScanPlan &plan)
{
	std::string error;
	std::unique_ptr<PageStack> stack = createPageStack(options_, plan.image, &error);
	if (!stack) {
		printError(error);
		return options_.numbered() || options_.format == OutputFormat::Pdf || options_.format == OutputFormat::Tiff
			       ? ExitCode::File
			       : ExitCode::Usage;
	}
	unsigned char table[256];
	buildGammaTable(options_.gamma, table);
	const client::Outcome curve = session_.sendToneCurve(table, plan.scannedInColour);
	if (!curve)
		return driverFailure("the tone curve could not be sent to the scanner", curve.error);

	client::BatchSequence batch(session_, client::BatchRequest{ options_.pages, options_.doubleFeedSensor });
	StackEnd end;
	while (!cancelRequested()) {
		end.page = batch.pageNumber();
		client::Outcome failure;
		client::PageStart started;
		{
			// The acquisition thread starts here: it must not take our signals.
			CancelSignalsBlocked blocked;
			started = batch.startPage(plan.parameter, &failure);
		}
		if (started == client::PageStart::StackDone)
			break;
		if (started == client::PageStart::Failed) {
			// Another program's scan before our first page is waited out.
			if (batch.pagesDone() == 0 && mayRetryWhenBusy_ && busyWait_.shouldRetry(failure.error)) {
				retryWhenBusy_ = true;
				return exitCodeForDriverError(failure.error);
			}
			end.failed = true;
			end.code = failure.error;
			end.what = "could not be scanned";
			break;
		}
		mayRetryWhenBusy_ = false;
		scanOpen_ = true;
		if (!options_.quiet)
			printNote("page " + std::to_string(end.page));
		PageInMemory page(plan.image);
		const ImageTransfer transfer = transferImage(page, plan.image);
		const client::Outcome stop = session_.stop();
		scanOpen_ = false;
		if (cancelRequested() || stop.error == TORVANE_ERROR_CANCELLED)
			break;
		if (transfer.readFailed || !stop) {
			end.failed = true;
			end.code = transfer.readFailed ? transfer.readError : stop.error;
			end.what = "could not be read";
			break;
		}
		batch.pageDone();
		if (!stack->add(page.take())) {
			end.fileFailed = true;
			break;
		}
	}
	end.cancelled = cancelRequested();
	return endStack(*stack, end);
}

ExitCode Frontend::endStack(PageStack &stack, const StackEnd &end)
{
	const bool kept = stack.finish();
	const std::string keptText = kept ? pagesText(stack.pagesWritten()) + " kept in " + stack.destination()
					  : std::string("nothing was written");
	if (!kept && !stack.error().empty())
		printError(stack.error());
	if (end.cancelled) {
		printNote("scan cancelled at page " + std::to_string(end.page) + "; " + keptText);
		return ExitCode::Cancelled;
	}
	if (end.fileFailed || (!kept && !stack.error().empty()))
		return ExitCode::File;
	if (end.failed) {
		// The feeder's words say it all; other failures say what failed.
		const bool feeder = client::feederReportOf(end.code) != client::FeederReport::None;
		const std::string reason = "page " + std::to_string(end.page) + (feeder ? "" : " " + end.what);
		printError(reason + ": " + describeDriverError(end.code) + "; " + keptText);
		return exitCodeForDriverError(end.code);
	}
	if (!kept) {
		printError("no page was scanned; nothing was written");
		return ExitCode::Device;
	}
	if (!options_.quiet)
		printNote("wrote " + pagesText(stack.pagesWritten()) + " to " + stack.destination());
	return ExitCode::Ok;
}

} // namespace torvane::scan
