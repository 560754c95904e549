// SPDX-License-Identifier: MIT
// Command-line options of torvane-scan, parsed into one record.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace torvane::scan {

enum class Action {
	Scan,
	Help,
	Version,
	List,
	Info,
	NvmRead,
	NvmBackup,
	NvmRestore,
	PowerTimers,
	WaitButton,
};

enum class ColourMode {
	Colour,
	Grey,
	LineArt,
	Halftone
};
enum class ColourFilter {
	None = 0,
	Red = 1,
	Green = 2,
	Blue = 3
};
enum class OutputFormat {
	Png,
	Tiff,
	Pnm,
	Pdf // pages of a stack only
};
enum class LengthUnit {
	Millimetre,
	Inch
};

// A length given on the command line, in the unit it was given in.
struct Length {
	double value = 0;
	LengthUnit unit = LengthUnit::Millimetre;
};

struct Options {
	Action action = Action::Scan;

	// Scan
	std::string output;
	OutputFormat format = OutputFormat::Png;
	unsigned resolution = 300;
	ColourMode mode = ColourMode::Colour;
	unsigned halftonePattern = 1;
	ColourFilter filter = ColourFilter::None;
	std::optional<Length> left, top, width, length;
	double gamma = 1.0;
	// A stack from the document feeder: --batch (until the feeder is empty)
	// or --pages N; each page its own scan cycle.
	bool batch = false;
	uint32_t pages = 0;							// 0: until the feeder is empty
	uint8_t doubleFeedSensor = 0;						// UltraSonicIntension of every page; 0 off
	unsigned quality = 85;							// JPEG quality of grey and colour PDF pages
	bool lossless = false;							// Flate instead of JPEG in a PDF
	bool numbered() const { return output.find('%') != std::string::npos; } // 'page-%03d.png'
	bool scansStack() const { return batch || pages != 0 || format == OutputFormat::Pdf || numbered(); }

	// Driver and device
	std::string model = "RM735";
	bool modelGiven = false; // else the library of the model found is loaded
	std::string library;	 // explicit path of the driver library
	bool simulate = false;	 // always use the embedded simulated scanner
	bool noSimulate = false; // never start it
	std::optional<uint32_t> debugLevel;
	std::string logDir;

	// Service actions
	std::string nvmFile;
	std::optional<unsigned> powerSave, powerOff;
	std::optional<double> buttonTimeout; // seconds; none: wait until a press

	// How long to wait for a scanner busy with another program's scan.
	double busyWaitSeconds = 60;

	bool quiet = false;
};

struct ParseResult {
	Options options;
	std::string error; // empty when the command line is valid
};

// Parses argv[1..] (the program name is not part of `args`).
ParseResult parseOptions(const std::vector<std::string> &args);

// Where the page number goes in a numbered output ('page-%03d.png'): the one
// "%d" or "%0Nd" (N 1 to 9); none for any other use of %.
struct PageNumberField {
	size_t at = 0, length = 0;
	unsigned digits = 0; // at least this many, zero-padded
};
std::optional<PageNumberField> pageNumberField(const std::string &pattern);
std::string pageFileName(const std::string &pattern, const PageNumberField &field, uint32_t page);

// The output format named by a file name's extension, if it has a known one.
std::optional<OutputFormat> formatFromFileName(const std::string &path);

// Where the scanner comes from. --simulate: the built-in simulated scanner.
// TORVANE_DEVICE_DIR set, or --no-simulate: only the scanners the driver
// finds. Otherwise a scanner attached to USB, and the built-in simulated
// scanner when the driver finds none.
enum class ScannerSource {
	Embedded,
	Found,
	FoundOrEmbedded
};
ScannerSource scannerSourceFor(const Options &options, const char *deviceDirVariable);

// The text of --help.
std::string usageText(const std::string &program);

} // namespace torvane::scan
