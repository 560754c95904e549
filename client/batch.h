// SPDX-License-Identifier: MIT
// A stack from the document feeder: page after page, each a whole scan cycle
// through the exports, and what the feeder's codes mean to every front end.
#pragma once

#include <cstdint>

#include <torvane/torvane.h>

#include "client/driver_session.h"

namespace torvane::client {

// Why the feeder gave no page, from the driver's code.
enum class FeederReport {
	None, // not a feeder's reason
	Empty,
	CoverOpen,
	PaperJam,
	DoubleFeed
};

FeederReport feederReportOf(int32_t code);
// "feeder empty", "cover open", "paper jam", "double feed"; "" for None.
const char *feederWords(FeederReport report);

struct BatchRequest {
	uint32_t pages = 0;	      // 0: until the feeder is empty
	uint8_t doubleFeedSensor = 0; // UltraSonicIntension; 0 leaves the sensor off
};

// How the start of a page went.
enum class PageStart {
	Started,   // the page's scan cycle is open: read it, then stop()
	StackDone, // the feeder is empty after at least one page, or the count is reached
	Failed	   // `failure` says why (an empty feeder before the first page too)
};

class BatchSequence
{
public:
	BatchSequence(DriverSession &session, const BatchRequest &request) : session_(session), request_(request) {}

	// SetScanParameter and StartScan of the next page, with byPagesThisJob
	// and UltraSonicIntension set from the request.
	PageStart startPage(const ScanParameter &parameter, Outcome *failure);
	// The page's image has been read and its cycle stopped.
	void pageDone() { ++pagesDone_; }

	uint32_t pagesDone() const { return pagesDone_; }
	uint32_t pageNumber() const { return pagesDone_ + 1; } // of the page being scanned

	// The parameter of every page of the stack.
	static ScanParameter pageParameter(const ScanParameter &parameter, const BatchRequest &request);

private:
	DriverSession &session_;
	BatchRequest request_;
	uint32_t pagesDone_ = 0;
};

} // namespace torvane::client
