// SPDX-License-Identifier: MIT
// Where the pages of a stack go: one PDF, one multi-page TIFF, or one file
// per page. Pages are encoded on a thread of their own while the next page
// is scanned; the output holds complete pages only.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "options.h"
#include "scan_plan.h"

namespace torvane::scan {

class PageStack
{
public:
	virtual ~PageStack();

	// Starts the encoder thread (with Ctrl-C blocked: signals stay with the
	// main thread).
	void start();
	// Hands over a complete page; waits while two pages are still being
	// encoded. False once a page could not be encoded or written (error()).
	bool add(std::vector<uint8_t> pixels);
	// Waits for every page handed over and completes the output: the file
	// gets its name with every page in it. False when that failed, or when
	// no page was added (nothing is written then).
	bool finish();
	// Pages written, when finish() has returned.
	uint32_t pagesWritten() const { return written_; }
	std::string error() const;
	// What the user is told the pages went to ("out.pdf", "page-001.png ... page-003.png").
	virtual std::string destination() const = 0;

protected:
	explicit PageStack(const ImageGeometry &geometry) : geometry_(geometry) {}
	// Ends the encoder thread; every derived destructor calls it first, so
	// that no page is encoded into members already gone.
	void stopEncoder();
	// On the encoder thread, pages in order; `number` counts from 1.
	virtual bool encode(const std::vector<uint8_t> &pixels, uint32_t number, std::string *error) = 0;
	// After the last page (at least one); names the output.
	virtual bool complete(std::string *error) = 0;

	const ImageGeometry geometry_;

private:
	void encodePages();

	mutable std::mutex mutex_;
	std::condition_variable changed_;
	std::deque<std::vector<uint8_t>> queue_;
	bool closing_ = false;
	bool failed_ = false;
	uint32_t encoded_ = 0;
	uint32_t written_ = 0;
	std::string error_;
	std::thread encoder_;
};

// The stack for the options' output; null with `error` when it cannot be set up.
std::unique_ptr<PageStack> createPageStack(const Options &options, const ImageGeometry &geometry, std::string *error);

} // namespace torvane::scan
