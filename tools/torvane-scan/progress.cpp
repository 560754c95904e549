// SPDX-License-Identifier: MIT
// The progress bar on standard error while a scan runs.

#include "progress.h"

#include <unistd.h>

namespace torvane::scan {

std::string renderProgress(uint64_t done, uint64_t total, unsigned barWidth)
{
	if (done > total)
		done = total;
	const unsigned percent = total ? static_cast<unsigned>(done * 100 / total) : 100;
	const unsigned filled = total ? static_cast<unsigned>(done * barWidth / total) : barWidth;
	std::string text = "Scanning [";
	text.append(filled, '#');
	text.append(barWidth - filled, ' ');
	char tail[64];
	std::snprintf(tail, sizeof(tail), "] %3u%%  %.1f/%.1f MB", percent, done / 1e6, total / 1e6);
	return text + tail;
}

ProgressBar::ProgressBar(uint64_t total, bool enabled, FILE *stream)
	: total_(total), enabled_(enabled), stream_(stream)
{
}

ProgressBar::~ProgressBar()
{
	finish();
}

bool ProgressBar::streamIsTerminal(FILE *stream)
{
	return ::isatty(fileno(stream)) == 1;
}

void ProgressBar::update(uint64_t done)
{
	if (!enabled_)
		return;
	const int percent = total_ ? static_cast<int>((done > total_ ? total_ : done) * 100 / total_) : 100;
	// Redrawn only when the figure changes: a terminal line per percent.
	if (percent == shownPercent_)
		return;
	shownPercent_ = percent;
	std::fprintf(stream_, "\r%s", renderProgress(done, total_, 30).c_str());
	std::fflush(stream_);
	drawn_ = true;
}

void ProgressBar::finish()
{
	if (drawn_) {
		std::fputc('\n', stream_);
		std::fflush(stream_);
	}
	drawn_ = false;
	enabled_ = false;
}

} // namespace torvane::scan
