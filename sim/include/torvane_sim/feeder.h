// SPDX-License-Identifier: MIT
// The document feeder of a sheet-fed scanner: a stack of sheets, one pulled
// per scan cycle, with the jams and double feeds a real feeder has.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "torvane_sim/document.h"

namespace torvane::sim {

// Sense (key, ASC, ASCQ) the scanner answers SCAN with when the feeder cannot
// deliver a sheet.
struct FeederSense {
	uint8_t key, asc, ascq;
};
inline constexpr FeederSense kFeederEmptySense{ 0x02, 0x3A, 0x00 }; // not ready, medium not present
inline constexpr FeederSense kPaperJamSense{ 0x03, 0x3B, 0x05 };    // medium error, paper jam
inline constexpr FeederSense kDoubleFeedSense{ 0x03, 0x3B, 0x80 };  // medium error, two sheets at once

class Feeder
{
public:
	enum class Result {
		Sheet,	   // `sheet` is the page of this scan cycle
		Empty,	   // no paper in the feeder
		Jam,	   // the sheet jammed; it is taken out of the scanner
		DoubleFeed // two sheets came in at once; both are taken out
	};
	struct Pull {
		Result result = Result::Empty;
		std::unique_ptr<DocumentSource> sheet;
	};

	// Puts sheets on top of the stack (behind the ones already in it).
	void load(std::vector<std::unique_ptr<DocumentSource>> sheets);
	// Takes every sheet out; armed jams and double feeds are forgotten.
	void empty();
	// The `n`th sheet from now (1: the next) jams.
	void jamAt(size_t n);
	// The `n`th sheet from now goes in together with the one behind it.
	void doubleFeedAt(size_t n);
	size_t sheets() const { return stack_.size(); }

	// The sheet of the next scan cycle. A double feed is reported only when
	// the sensor is on; with it off, the two sheets give the first one's image.
	Pull pull(bool doubleFeedSensor);

private:
	struct Sheet {
		std::unique_ptr<DocumentSource> document;
		bool jams = false;
		bool doubled = false;
	};
	std::vector<Sheet> stack_; // the next sheet first
};

// The sheets of one --feeder argument: "chart", an image file, or a folder
// whose PNG and PNM files are taken in name order. Empty with a message in
// `error` on failure (a folder without images is one).
std::vector<std::unique_ptr<DocumentSource>> loadSheets(const std::string &spec, std::string *error);

} // namespace torvane::sim
