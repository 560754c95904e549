// SPDX-License-Identifier: MIT
// The progress bar on standard error while a scan runs.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace torvane::scan {

// One line of the bar, e.g. "Scanning [########            ]  40%  3.1/7.7 MB".
std::string renderProgress(uint64_t done, uint64_t total, unsigned barWidth);

class ProgressBar
{
public:
	// Drawn only when `enabled` (not --quiet, and the stream is a terminal).
	ProgressBar(uint64_t total, bool enabled, FILE *stream = stderr);
	~ProgressBar();

	void update(uint64_t done);
	// Ends the line, so that messages that follow start on a new one.
	void finish();

	static bool streamIsTerminal(FILE *stream);

private:
	uint64_t total_;
	bool enabled_;
	FILE *stream_;
	int shownPercent_ = -1;
	bool drawn_ = false;
};

} // namespace torvane::scan
