// SPDX-License-Identifier: MIT
// Command-line options of torvane-scan, parsed into one record.

#include "options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <optional>

namespace torvane::scan {

namespace {

enum class Value {
	None,
	Required,
	Optional
};

struct OptionSpec {
	const char *name; // long name without the dashes
	char shortName;	  // 0 when there is none
	Value value;
	const char *valueName;
	const char *help;
};

// The options, in the order --help lists them.
constexpr OptionSpec kOptions[] = {
	{ "output", 'o', Value::Required, "FILE", "write the scanned image to FILE (.png, .tif/.tiff, .pnm/.ppm/.pgm/.pbm, .pdf; 'page-%03d.png': one file per page)" },
	{ "format", 'f', Value::Required, "FORMAT", "png, tiff, pnm or pdf (default: from the file name)" },
	{ "batch", 0, Value::None, nullptr, "scan the stack in the document feeder until it is empty" },
	{ "pages", 0, Value::Required, "N", "scan at most N pages from the feeder (1 to 10000)" },
	{ "double-feed-sensor", 0, Value::Required, "N", "strength of the feeder's double-feed sensor, 0 (off, default) to 255" },
	{ "quality", 0, Value::Required, "Q", "JPEG quality of grey and colour PDF pages, 1 to 100 (default 85)" },
	{ "lossless", 0, Value::None, nullptr, "PDF pages without loss (Flate) instead of JPEG" },
	{ "resolution", 'r', Value::Required, "DPI", "resolution, 50 to 1200 dpi (default 300)" },
	{ "mode", 'm', Value::Required, "MODE", "color, gray, lineart or halftone (default color)" },
	{ "halftone-pattern", 0, Value::Required, "N", "halftone pattern 1 to 6 (default 1)" },
	{ "filter", 0, Value::Required, "COLOUR", "colour channel for gray, lineart and halftone: none, red, green, blue (default none)" },
	{ "left", 'l', Value::Required, "X", "left edge of the area from the scanner's left edge (default 0)" },
	{ "top", 't', Value::Required, "Y", "top edge of the area from the scanner's top edge (default 0)" },
	{ "width", 'x', Value::Required, "W", "width of the area (default: the scanner's whole width)" },
	{ "length", 'y', Value::Required, "H", "length of the area (default: A4, 297 mm, or the scanner's length if shorter)" },
	{ "units", 0, Value::Required, "UNIT", "unit of lengths given without one: mm or in (default mm); 8.5in and 210mm always work" },
	{ "gamma", 0, Value::Required, "G", "gamma of the tone curve sent to the scanner, 0.1 to 10 (default 1: identity)" },
	{ "quiet", 'q', Value::None, nullptr, "no progress bar (it is also off when standard error is not a terminal)" },
	{ "list", 0, Value::None, nullptr, "list the scanner found and exit" },
	{ "info", 0, Value::None, nullptr, "show the scanner's abilities and exit" },
	{ "nvm-read", 0, Value::None, nullptr, "show the scanner's non-volatile memory record (hex dump and fields)" },
	{ "nvm-backup", 0, Value::Required, "FILE", "save the 128-byte non-volatile memory record to FILE" },
	{ "nvm-restore", 0, Value::Required, "FILE", "write a record saved with --nvm-backup back to the scanner" },
	{ "power-save", 0, Value::Required, "N", "set the scanner's power-save time to N (0 to 65535, the scanner's unit)" },
	{ "power-off", 0, Value::Required, "N", "set the scanner's power-off time to N (0 to 65535, the scanner's unit)" },
	{ "wait-button", 0, Value::Optional, "SECONDS", "wait for a press of a scanner button (at most SECONDS; default: no limit)" },
	{ "wait", 0, Value::Required, "SECONDS", "wait at most SECONDS for a scanner busy with another program's scan (default 60; 0: fail at once)" },
	{ "model", 0, Value::Required, "NAME", "driver library to load: NAME.so (default: the model found; RM735 when none is)" },
	{ "library", 0, Value::Required, "PATH", "load the driver library from PATH" },
	{ "simulate", 0, Value::None, nullptr, "scan on the built-in simulated scanner" },
	{ "no-simulate", 0, Value::None, nullptr, "never start the built-in simulated scanner" },
	{ "debug-level", 0, Value::Required, "N", "driver log level for this run, 0 to 9" },
	{ "log-dir", 0, Value::Required, "DIR", "folder of the driver's log files for this run (level 2 unless set)" },
	{ "help", 'h', Value::None, nullptr, "show this help" },
	{ "version", 0, Value::None, nullptr, "show the version" },
};

const OptionSpec *findLong(const std::string &name)
{
	for (const auto &spec : kOptions)
		if (name == spec.name)
			return &spec;
	return nullptr;
}

const OptionSpec *findShort(char name)
{
	for (const auto &spec : kOptions)
		if (spec.shortName && spec.shortName == name)
			return &spec;
	return nullptr;
}

bool parseUnsigned(const std::string &text, unsigned long min, unsigned long max, unsigned long *out)
{
	if (text.empty() || text[0] < '0' || text[0] > '9')
		return false;
	char *end = nullptr;
	errno = 0;
	const unsigned long long value = std::strtoull(text.c_str(), &end, 10);
	if (errno != 0 || *end != '\0' || value < min || value > max)
		return false;
	*out = static_cast<unsigned long>(value);
	return true;
}

bool parseNumber(const std::string &text, double *out)
{
	if (text.empty())
		return false;
	char *end = nullptr;
	errno = 0;
	const double value = std::strtod(text.c_str(), &end);
	if (errno != 0 || end == text.c_str() || *end != '\0' || !std::isfinite(value))
		return false;
	*out = value;
	return true;
}

// A length with an optional unit suffix; without one it takes `unit`.
bool parseLength(const std::string &text, LengthUnit unit, Length *out)
{
	std::string number = text;
	auto endsWith = [&](const char *suffix) {
		const std::string s(suffix);
		return number.size() > s.size() && number.compare(number.size() - s.size(), s.size(), s) == 0;
	};
	if (endsWith("mm")) {
		unit = LengthUnit::Millimetre;
		number.resize(number.size() - 2);
	} else if (endsWith("in")) {
		unit = LengthUnit::Inch;
		number.resize(number.size() - 2);
	}
	double value = 0;
	if (!parseNumber(number, &value) || value < 0)
		return false;
	*out = Length{ value, unit };
	return true;
}

// What applying one option gave: nothing when the option is not of the
// group asked, else an error text (empty when the value is good).
using Applied = std::optional<std::string>;

struct Parser {
	Options options;
	std::vector<Action> actions;
	// Lengths are resolved after --units has been seen, wherever it stands.
	std::vector<std::pair<std::string, std::string>> lengths;
	std::optional<std::string> formatName;
	LengthUnit unit = LengthUnit::Millimetre;
	bool powerSeen = false;

	std::string apply(const OptionSpec &spec, const std::optional<std::string> &value);
	std::string finish();

private:
	// The groups of options, in the order --help lists them.
	Applied applyImageOption(const std::string &name, const std::string &text);
	Applied applyAreaOption(const std::string &name, const std::string &text);
	Applied applyServiceOption(const std::string &name, const std::optional<std::string> &value);
	Applied applyProgramOption(const std::string &name, const std::string &text);
	Applied applyStackOption(const std::string &name, const std::string &text);
	std::string checkStack() const;
};

std::string invalid(const char *name, const std::string &value, const char *expected)
{
	return "invalid value '" + value + "' for --" + name + ": " + expected;
}

std::optional<ColourMode> modeNamed(const std::string &text)
{
	if (text == "color" || text == "colour")
		return ColourMode::Colour;
	if (text == "gray" || text == "grey")
		return ColourMode::Grey;
	if (text == "lineart")
		return ColourMode::LineArt;
	if (text == "halftone")
		return ColourMode::Halftone;
	return std::nullopt;
}

std::optional<ColourFilter> filterNamed(const std::string &text)
{
	if (text == "none")
		return ColourFilter::None;
	if (text == "red")
		return ColourFilter::Red;
	if (text == "green")
		return ColourFilter::Green;
	if (text == "blue")
		return ColourFilter::Blue;
	return std::nullopt;
}

std::string Parser::apply(const OptionSpec &spec, const std::optional<std::string> &value)
{
	const std::string name = spec.name;
	const std::string text = value.value_or("");
	if (Applied applied = applyImageOption(name, text))
		return *applied;
	if (Applied applied = applyAreaOption(name, text))
		return *applied;
	if (Applied applied = applyServiceOption(name, value))
		return *applied;
	if (Applied applied = applyStackOption(name, text))
		return *applied;
	return applyProgramOption(name, text).value_or("");
}

// A stack from the feeder and how its PDF pages are kept.
Applied Parser::applyStackOption(const std::string &name, const std::string &text)
{
	unsigned long number = 0;
	if (name == "batch") {
		options.batch = true;
	} else if (name == "pages") {
		if (!parseUnsigned(text, 1, 10000, &number))
			return invalid(name.c_str(), text, "the page count is a number from 1 to 10000");
		options.pages = static_cast<uint32_t>(number);
	} else if (name == "double-feed-sensor") {
		if (!parseUnsigned(text, 0, 255, &number))
			return invalid(name.c_str(), text, "the strength is a number from 0 to 255");
		options.doubleFeedSensor = static_cast<uint8_t>(number);
	} else if (name == "quality") {
		if (!parseUnsigned(text, 1, 100, &number))
			return invalid(name.c_str(), text, "the quality is a number from 1 to 100");
		options.quality = static_cast<unsigned>(number);
	} else if (name == "lossless") {
		options.lossless = true;
	} else {
		return std::nullopt;
	}
	return std::string();
}

// The output and how the image is scanned.
Applied Parser::applyImageOption(const std::string &name, const std::string &text)
{
	unsigned long number = 0;
	if (name == "output") {
		if (text.empty())
			return "--output needs a file name";
		options.output = text;
	} else if (name == "format") {
		formatName = text;
	} else if (name == "resolution") {
		if (!parseUnsigned(text, 50, 1200, &number))
			return invalid(name.c_str(), text, "the resolution must be a whole number of dpi from 50 to 1200");
		options.resolution = static_cast<unsigned>(number);
	} else if (name == "mode") {
		const std::optional<ColourMode> mode = modeNamed(text);
		if (!mode)
			return invalid(name.c_str(), text, "use color, gray, lineart or halftone");
		options.mode = *mode;
	} else if (name == "halftone-pattern") {
		if (!parseUnsigned(text, 1, 6, &number))
			return invalid(name.c_str(), text, "the pattern is a number from 1 to 6");
		options.halftonePattern = static_cast<unsigned>(number);
	} else if (name == "filter") {
		const std::optional<ColourFilter> filter = filterNamed(text);
		if (!filter)
			return invalid(name.c_str(), text, "use none, red, green or blue");
		options.filter = *filter;
	} else {
		return std::nullopt;
	}
	return std::string();
}

// The scan area, its unit and the tone curve.
Applied Parser::applyAreaOption(const std::string &name, const std::string &text)
{
	if (name == "left" || name == "top" || name == "width" || name == "length") {
		lengths.emplace_back(name, text);
	} else if (name == "units") {
		if (text == "mm")
			unit = LengthUnit::Millimetre;
		else if (text == "in" || text == "inch")
			unit = LengthUnit::Inch;
		else
			return invalid(name.c_str(), text, "use mm or in");
	} else if (name == "gamma") {
		double gamma = 0;
		if (!parseNumber(text, &gamma) || gamma < 0.1 || gamma > 10)
			return invalid(name.c_str(), text, "the gamma is a number from 0.1 to 10");
		options.gamma = gamma;
	} else {
		return std::nullopt;
	}
	return std::string();
}

// The actions other than a scan.
Applied Parser::applyServiceOption(const std::string &name, const std::optional<std::string> &value)
{
	const std::string text = value.value_or("");
	unsigned long number = 0;
	if (name == "list") {
		actions.push_back(Action::List);
	} else if (name == "info") {
		actions.push_back(Action::Info);
	} else if (name == "nvm-read") {
		actions.push_back(Action::NvmRead);
	} else if (name == "nvm-backup" || name == "nvm-restore") {
		if (text.empty())
			return "--" + name + " needs a file name";
		options.nvmFile = text;
		actions.push_back(name == "nvm-backup" ? Action::NvmBackup : Action::NvmRestore);
	} else if (name == "power-save" || name == "power-off") {
		if (!parseUnsigned(text, 0, 65535, &number))
			return invalid(name.c_str(), text, "the time is a whole number from 0 to 65535");
		(name == "power-save" ? options.powerSave : options.powerOff) = static_cast<unsigned>(number);
		if (!powerSeen)
			actions.push_back(Action::PowerTimers);
		powerSeen = true;
	} else if (name == "wait-button") {
		if (value) {
			double seconds = 0;
			if (!parseNumber(text, &seconds) || seconds <= 0 || seconds > 86400)
				return invalid(name.c_str(), text, "the time is a number of seconds above 0, at most 86400");
			options.buttonTimeout = seconds;
		}
		actions.push_back(Action::WaitButton);
	} else {
		return std::nullopt;
	}
	return std::string();
}

// The progress bar, the busy wait, the driver library, the simulated
// scanner, the driver's log, --help and --version.
Applied Parser::applyProgramOption(const std::string &name, const std::string &text)
{
	unsigned long number = 0;
	if (name == "quiet") {
		options.quiet = true;
	} else if (name == "wait") {
		double seconds = 0;
		if (!parseNumber(text, &seconds) || seconds < 0 || seconds > 86400)
			return invalid(name.c_str(), text, "the time is a number of seconds from 0 to 86400");
		options.busyWaitSeconds = seconds;
	} else if (name == "model") {
		// The name becomes a file name beside the others: no paths here.
		if (text.empty() || text.find('/') != std::string::npos || text.size() > 16)
			return invalid(name.c_str(), text, "a model name such as RM735 or KT918 (use --library for a path)");
		options.model = text;
		options.modelGiven = true;
	} else if (name == "library") {
		if (text.empty())
			return "--library needs a path";
		options.library = text;
	} else if (name == "simulate") {
		options.simulate = true;
	} else if (name == "no-simulate") {
		options.noSimulate = true;
	} else if (name == "debug-level") {
		if (!parseUnsigned(text, 0, 9, &number))
			return invalid(name.c_str(), text, "the level is a number from 0 to 9");
		options.debugLevel = static_cast<uint32_t>(number);
	} else if (name == "log-dir") {
		if (text.empty())
			return "--log-dir needs a folder";
		options.logDir = text;
	} else if (name == "help") {
		actions.push_back(Action::Help);
	} else if (name == "version") {
		actions.push_back(Action::Version);
	} else {
		return std::nullopt;
	}
	return std::string();
}

// What a stack's output can be.
std::string Parser::checkStack() const
{
	if (options.batch && options.pages)
		return "--batch and --pages exclude each other";
	if (options.numbered() && options.format == OutputFormat::Pdf)
		return "a PDF holds every page: give one file name without %";
	if (options.numbered() && !pageNumberField(options.output))
		return "a numbered output names the page once with %d or %03d, as in 'page-%03d.png'";
	if (options.scansStack() && options.output == "-")
		return "the pages of a stack are written to a file, not to standard output";
	return {};
}

std::string Parser::finish()
{
	for (const auto &[name, text] : lengths) {
		Length length;
		if (!parseLength(text, unit, &length))
			return "invalid value '" + text + "' for --" + name +
			       ": a length such as 210, 210mm or 8.5in, not negative";
		if ((name == "width" || name == "length") && length.value <= 0)
			return "--" + name + " must be above 0";
		if (name == "left")
			options.left = length;
		else if (name == "top")
			options.top = length;
		else if (name == "width")
			options.width = length;
		else
			options.length = length;
	}

	if (options.simulate && options.noSimulate)
		return "--simulate and --no-simulate exclude each other";

	// --help and --version win over everything else.
	for (Action action : actions)
		if (action == Action::Help || action == Action::Version) {
			options.action = action;
			return {};
		}
	if (actions.size() > 1)
		return "choose one of --list, --info, --nvm-read, --nvm-backup, --nvm-restore, "
		       "--power-save/--power-off, --wait-button, or a scan";
	if (!actions.empty()) {
		options.action = actions.front();
		return {};
	}

	options.action = Action::Scan;
	if (options.output.empty())
		return "no output file: give one with -o FILE (or see --help for the other actions)";
	if (formatName) {
		if (*formatName == "png")
			options.format = OutputFormat::Png;
		else if (*formatName == "tiff" || *formatName == "tif")
			options.format = OutputFormat::Tiff;
		else if (*formatName == "pnm" || *formatName == "ppm" || *formatName == "pgm" || *formatName == "pbm")
			options.format = OutputFormat::Pnm;
		else if (*formatName == "pdf")
			options.format = OutputFormat::Pdf;
		else
			return "invalid value '" + *formatName + "' for --format: use png, tiff, pnm or pdf";
	} else if (auto format = formatFromFileName(options.output)) {
		options.format = *format;
	} else {
		return "cannot tell the image format from '" + options.output +
		       "': name it .png, .tif, .pnm or .pdf, or give --format";
	}
	return checkStack();
}

} // namespace

std::optional<PageNumberField> pageNumberField(const std::string &pattern)
{
	const size_t at = pattern.find('%');
	if (at == std::string::npos || pattern.find('%', at + 1) != std::string::npos)
		return std::nullopt;
	PageNumberField field{ at, 0, 0 };
	size_t i = at + 1;
	const bool zeros = i < pattern.size() && pattern[i] == '0';
	if (zeros)
		++i;
	unsigned width = 0;
	while (i < pattern.size() && pattern[i] >= '0' && pattern[i] <= '9' && width < 10)
		width = width * 10 + static_cast<unsigned>(pattern[i++] - '0');
	if (i >= pattern.size() || pattern[i] != 'd' || width >= 10 || (zeros && width == 0))
		return std::nullopt;
	field.length = i + 1 - at;
	field.digits = width;
	return field;
}

std::string pageFileName(const std::string &pattern, const PageNumberField &field, uint32_t page)
{
	std::string number = std::to_string(page);
	if (number.size() < field.digits)
		number.insert(0, field.digits - number.size(), '0');
	return pattern.substr(0, field.at) + number + pattern.substr(field.at + field.length);
}

std::optional<OutputFormat> formatFromFileName(const std::string &path)
{
	const size_t slash = path.find_last_of('/');
	const size_t dot = path.find_last_of('.');
	if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
		return std::nullopt;
	std::string extension = path.substr(dot + 1);
	for (char &c : extension)
		if (c >= 'A' && c <= 'Z')
			c = static_cast<char>(c - 'A' + 'a');
	if (extension == "png")
		return OutputFormat::Png;
	if (extension == "tif" || extension == "tiff")
		return OutputFormat::Tiff;
	if (extension == "pnm" || extension == "ppm" || extension == "pgm" || extension == "pbm")
		return OutputFormat::Pnm;
	if (extension == "pdf")
		return OutputFormat::Pdf;
	return std::nullopt;
}

ParseResult parseOptions(const std::vector<std::string> &args)
{
	Parser parser;
	ParseResult result;

	for (size_t i = 0; i < args.size(); ++i) {
		const std::string &arg = args[i];
		const OptionSpec *spec = nullptr;
		std::optional<std::string> value;
		std::string shown = arg;

		if (arg.rfind("--", 0) == 0 && arg.size() > 2) {
			std::string name = arg.substr(2);
			const size_t equals = name.find('=');
			if (equals != std::string::npos) {
				value = name.substr(equals + 1);
				name.resize(equals);
			}
			spec = findLong(name);
			shown = "--" + name;
			if (spec && value && spec->value == Value::None) {
				result.error = "option " + shown + " takes no value";
				return result;
			}
		} else if (arg.size() >= 2 && arg[0] == '-' && arg[1] != '-') {
			spec = findShort(arg[1]);
			shown = arg.substr(0, 2);
			if (spec && arg.size() > 2) {
				if (spec->value == Value::None) {
					result.error = "option " + shown + " takes no value";
					return result;
				}
				value = arg.substr(2);
			}
		} else {
			result.error = "unexpected argument '" + arg + "'";
			return result;
		}

		if (!spec) {
			result.error = "unknown option '" + shown + "'";
			return result;
		}
		if (spec->value == Value::Required && !value) {
			if (i + 1 >= args.size()) {
				result.error = "option " + shown + " needs a value (" + spec->valueName + ")";
				return result;
			}
			value = args[++i];
		}
		// An optional value follows as the next argument only when it is a number.
		if (spec->value == Value::Optional && !value && i + 1 < args.size()) {
			double ignored = 0;
			if (parseNumber(args[i + 1], &ignored))
				value = args[++i];
		}
		if (std::string error = parser.apply(*spec, value); !error.empty()) {
			result.error = error;
			return result;
		}
	}

	result.error = parser.finish();
	result.options = parser.options;
	return result;
}

ScannerSource scannerSourceFor(const Options &options, const char *deviceDirVariable)
{
	if (options.simulate)
		return ScannerSource::Embedded;
	if (options.noSimulate || (deviceDirVariable && *deviceDirVariable))
		return ScannerSource::Found;
	return ScannerSource::FoundOrEmbedded;
}

std::string usageText(const std::string &program)
{
	std::string text = "Usage: " + program + " [options] -o FILE\n";
	text += "       " + program + " --list | --info | --nvm-read | --nvm-backup FILE | --nvm-restore FILE\n";
	text += "       " + program + " --power-save N | --power-off N | --wait-button [SECONDS]\n";
	text += "\n"
		"Scans a page through the Torvane driver library (RM735.so, KT918.so) and writes it\n"
		"as PNG, TIFF (line art as CCITT G4) or PNM. Lengths are from the scanner's top-left\n"
		"corner. Without TORVANE_DEVICE_DIR it scans on a scanner attached to USB, or, when\n"
		"there is none (or with --simulate), on a built-in simulated scanner.\n"
		"\n"
		"Options:\n";
	for (const auto &spec : kOptions) {
		std::string names = "  ";
		names += spec.shortName ? std::string("-") + spec.shortName + ", " : std::string("    ");
		names += std::string("--") + spec.name;
		if (spec.value == Value::Required)
			names += std::string(" ") + spec.valueName;
		else if (spec.value == Value::Optional)
			names += std::string(" [") + spec.valueName + "]";
		if (names.size() < 32)
			names.resize(32, ' ');
		else
			names += "\n" + std::string(32, ' ');
		text += names + spec.help + "\n";
	}
	text += "\n"
		"Exit codes:\n"
		"  0    done\n"
		"  1    bad option or value (nothing was sent to the scanner)\n"
		"  2    no supported scanner found, or it is not the model of the driver library\n"
		"  3    the driver or the scanner reported an error\n"
		"  4    the output or backup file could not be written or read\n"
		"  5    the driver library or the simulated scanner could not be started\n"
		"  6    --wait-button: no button pressed in time, or the scanner has no buttons\n"
		"  7    out of memory, or an internal error of torvane-scan\n"
		"  130  cancelled with Ctrl-C (SIGINT) or SIGTERM\n"
		"\n"
		"Environment:\n"
		"  TORVANE_DEVICE_DIR  folder of the scanners' device sockets (a running torvane-sim)\n"
		"  TORVANE_REGISTRY    the driver's configuration file (DEBUGLEVEL=, SAVEPATH= lines)\n";
	return text;
}

} // namespace torvane::scan
