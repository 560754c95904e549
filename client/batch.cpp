// SPDX-License-Identifier: MIT
// A stack from the document feeder, and the feeder's codes.

#include "client/batch.h"

#include <algorithm>

namespace torvane::client {

FeederReport feederReportOf(int32_t code)
{
	switch (code) {
	case TORVANE_ERROR_FEEDER_EMPTY:
		return FeederReport::Empty;
	case TORVANE_ERROR_COVER_OPEN:
		return FeederReport::CoverOpen;
	case TORVANE_ERROR_PAPER_JAM:
		return FeederReport::PaperJam;
	case TORVANE_ERROR_DOUBLE_FEED:
		return FeederReport::DoubleFeed;
	default:
		return FeederReport::None;
	}
}

const char *feederWords(FeederReport report)
{
	switch (report) {
	case FeederReport::Empty:
		return "feeder empty";
	case FeederReport::CoverOpen:
		return "cover open";
	case FeederReport::PaperJam:
		return "paper jam";
	case FeederReport::DoubleFeed:
		return "double feed";
	case FeederReport::None:
		break;
	}
	return "";
}

ScanParameter BatchSequence::pageParameter(const ScanParameter &parameter, const BatchRequest &request)
{
	ScanParameter page = parameter;
	// The scanner is told how many sheets to expect (0: the whole stack).
	page.byPagesThisJob = static_cast<uint8_t>(std::min<uint32_t>(request.pages, 255));
	page.UltraSonicIntension = request.doubleFeedSensor;
	return page;
}

PageStart BatchSequence::startPage(const ScanParameter &parameter, Outcome *failure)
{
	if (request_.pages != 0 && pagesDone_ >= request_.pages)
		return PageStart::StackDone;
	const ScanParameter page = pageParameter(parameter, request_);
	Outcome outcome = session_.setUp(page);
	if (outcome)
		outcome = session_.start();
	if (outcome)
		return PageStart::Started;
	// The feeder running out after a page is how a stack ends.
	if (pagesDone_ > 0 && feederReportOf(outcome.error) == FeederReport::Empty)
		return PageStart::StackDone;
	if (failure)
		*failure = outcome;
	return PageStart::Failed;
}

} // namespace torvane::client
