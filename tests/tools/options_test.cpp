// SPDX-License-Identifier: MIT
// torvane-scan's command line: what it accepts, what it refuses and why.

#include <gtest/gtest.h>

#include "options.h"

namespace torvane::scan {
namespace {

ParseResult parse(std::vector<std::string> args)
{
	return parseOptions(args);
}

TEST(Options, ScanSettingsInLongAndShortForms)
{
	const ParseResult r = parse({ "-o", "page.tif", "--resolution=150", "-m", "halftone", "--halftone-pattern", "4",
				      "--filter", "green", "-l", "10", "--top=20mm", "-x", "2in", "--length", "50.8",
				      "--gamma", "2.2", "-q" });
	ASSERT_EQ(r.error, "");
	const Options &o = r.options;
	EXPECT_EQ(o.action, Action::Scan);
	EXPECT_EQ(o.output, "page.tif");
	EXPECT_EQ(o.format, OutputFormat::Tiff);
	EXPECT_EQ(o.resolution, 150u);
	EXPECT_EQ(o.mode, ColourMode::Halftone);
	EXPECT_EQ(o.halftonePattern, 4u);
	EXPECT_EQ(o.filter, ColourFilter::Green);
	ASSERT_TRUE(o.left && o.top && o.width && o.length);
	EXPECT_EQ(o.left->value, 10);
	EXPECT_EQ(o.left->unit, LengthUnit::Millimetre);
	EXPECT_EQ(o.top->value, 20);
	EXPECT_EQ(o.width->value, 2);
	EXPECT_EQ(o.width->unit, LengthUnit::Inch);
	EXPECT_DOUBLE_EQ(o.length->value, 50.8);
	EXPECT_DOUBLE_EQ(o.gamma, 2.2);
	EXPECT_TRUE(o.quiet);
}

TEST(Options, DefaultsAndUnits)
{
	ParseResult r = parse({ "-o", "a.png" });
	ASSERT_EQ(r.error, "");
	EXPECT_EQ(r.options.resolution, 300u);
	EXPECT_EQ(r.options.mode, ColourMode::Colour);
	EXPECT_EQ(r.options.filter, ColourFilter::None);
	EXPECT_EQ(r.options.model, "RM735");
	EXPECT_FALSE(r.options.left || r.options.width);

	// --units applies to lengths given before it too; a suffix always wins.
	r = parse({ "-x", "8.5", "-y", "100mm", "--units", "in", "-o", "a.pnm" });
	ASSERT_EQ(r.error, "");
	EXPECT_EQ(r.options.width->unit, LengthUnit::Inch);
	EXPECT_EQ(r.options.length->unit, LengthUnit::Millimetre);
	EXPECT_EQ(r.options.format, OutputFormat::Pnm);
}

TEST(Options, FormatFromTheFileNameOrTheOption)
{
	EXPECT_EQ(formatFromFileName("x/Page.PNG"), OutputFormat::Png);
	EXPECT_EQ(formatFromFileName("a.tiff"), OutputFormat::Tiff);
	EXPECT_EQ(formatFromFileName("a.pbm"), OutputFormat::Pnm);
	EXPECT_EQ(formatFromFileName("a.jpg"), std::nullopt);
	EXPECT_EQ(formatFromFileName("dir.png/page"), std::nullopt);

	EXPECT_EQ(parse({ "-o", "scan", "--format", "tiff" }).options.format, OutputFormat::Tiff);
	EXPECT_EQ(parse({ "-o", "scan" }).error,
		  "cannot tell the image format from 'scan': name it .png, .tif, .pnm or .pdf, or give --format");
	EXPECT_EQ(parse({ "-o", "a.png", "-f", "gif" }).error,
		  "invalid value 'gif' for --format: use png, tiff, pnm or pdf");
}

TEST(Options, StacksAndTheirPageNames)
{
	const ParseResult r = parse({ "--batch", "--double-feed-sensor", "40", "--quality", "90", "-o", "s.pdf" });
	ASSERT_EQ(r.error, "");
	EXPECT_TRUE(r.options.batch);
	EXPECT_EQ(r.options.doubleFeedSensor, 40);
	EXPECT_EQ(r.options.quality, 90u);
	EXPECT_EQ(r.options.format, OutputFormat::Pdf);
	EXPECT_TRUE(parse({ "-o", "one.pdf" }).options.scansStack());
	EXPECT_FALSE(parse({ "-o", "one.tif" }).options.scansStack());
	EXPECT_EQ(parse({ "--pages", "3", "-o", "p-%03d.png" }).options.pages, 3u);

	EXPECT_EQ(parse({ "--batch", "--pages", "2", "-o", "s.tif" }).error, "--batch and --pages exclude each other");
	EXPECT_EQ(parse({ "--pages", "0", "-o", "s.tif" }).error,
		  "invalid value '0' for --pages: the page count is a number from 1 to 10000");
	EXPECT_EQ(parse({ "--batch", "-o", "p%d-%d.png" }).error,
		  "a numbered output names the page once with %d or %03d, as in 'page-%03d.png'");
	EXPECT_EQ(parse({ "--batch", "-o", "p%s.png" }).error,
		  "a numbered output names the page once with %d or %03d, as in 'page-%03d.png'");
	EXPECT_EQ(parse({ "--batch", "-o", "p%d.pdf" }).error, "a PDF holds every page: give one file name without %");

	const auto field = pageNumberField("scans/page-%03d.png");
	ASSERT_TRUE(field);
	EXPECT_EQ(pageFileName("scans/page-%03d.png", *field, 7), "scans/page-007.png");
	EXPECT_EQ(pageFileName("scans/page-%03d.png", *field, 1234), "scans/page-1234.png");
	EXPECT_EQ(pageFileName("%d", *pageNumberField("%d"), 12), "12");
}

TEST(Options, ResolutionOutsideFiftyTo1200IsRefused)
{
	const std::string message =
		": the resolution must be a whole number of dpi from 50 to 1200";
	EXPECT_EQ(parse({ "-o", "a.png", "-r", "0" }).error, "invalid value '0' for --resolution" + message);
	EXPECT_EQ(parse({ "-o", "a.png", "-r", "5000" }).error, "invalid value '5000' for --resolution" + message);
	EXPECT_EQ(parse({ "-o", "a.png", "-r", "49" }).error, "invalid value '49' for --resolution" + message);
	EXPECT_EQ(parse({ "-o", "a.png", "-r", "1201" }).error, "invalid value '1201' for --resolution" + message);
	EXPECT_EQ(parse({ "-o", "a.png", "-r", "-300" }).error, "invalid value '-300' for --resolution" + message);
	EXPECT_EQ(parse({ "-o", "a.png", "-r", "150dpi" }).error, "invalid value '150dpi' for --resolution" + message);
	EXPECT_EQ(parse({ "-o", "a.png", "-r", "99999999999999999999" }).error,
		  "invalid value '99999999999999999999' for --resolution" + message);
	EXPECT_EQ(parse({ "-o", "a.png", "-r", "50" }).options.resolution, 50u);
	EXPECT_EQ(parse({ "-o", "a.png", "-r", "1200" }).options.resolution, 1200u);
}

TEST(Options, BadInputGetsAClearMessage)
{
	EXPECT_EQ(parse({ "--frobnicate" }).error, "unknown option '--frobnicate'");
	EXPECT_EQ(parse({ "-Z" }).error, "unknown option '-Z'");
	EXPECT_EQ(parse({ "page.png" }).error, "unexpected argument 'page.png'");
	EXPECT_EQ(parse({ "-o" }).error, "option -o needs a value (FILE)");
	EXPECT_EQ(parse({ "--quiet=1" }).error, "option --quiet takes no value");
	EXPECT_EQ(parse({}).error, "no output file: give one with -o FILE (or see --help for the other actions)");
	EXPECT_EQ(parse({ "-o", "a.png", "-m", "sepia" }).error,
		  "invalid value 'sepia' for --mode: use color, gray, lineart or halftone");
	EXPECT_EQ(parse({ "-o", "a.png", "--halftone-pattern", "7" }).error,
		  "invalid value '7' for --halftone-pattern: the pattern is a number from 1 to 6");
	EXPECT_EQ(parse({ "-o", "a.png", "--left", "-5" }).error,
		  "invalid value '-5' for --left: a length such as 210, 210mm or 8.5in, not negative");
	EXPECT_EQ(parse({ "-o", "a.png", "--width", "0" }).error, "--width must be above 0");
	EXPECT_EQ(parse({ "-o", "a.png", "--width", "nan" }).error,
		  "invalid value 'nan' for --width: a length such as 210, 210mm or 8.5in, not negative");
	EXPECT_EQ(parse({ "-o", "a.png", "--gamma", "0" }).error,
		  "invalid value '0' for --gamma: the gamma is a number from 0.1 to 10");
	EXPECT_EQ(parse({ "--power-save", "65536" }).error,
		  "invalid value '65536' for --power-save: the time is a whole number from 0 to 65535");
	EXPECT_EQ(parse({ "--debug-level", "10" }).error,
		  "invalid value '10' for --debug-level: the level is a number from 0 to 9");
	EXPECT_EQ(parse({ "--model", "../evil", "--info" }).error,
		  "invalid value '../evil' for --model: a model name such as RM735 or KT918 (use --library for a path)");
	EXPECT_EQ(parse({ "--simulate", "--no-simulate", "--info" }).error,
		  "--simulate and --no-simulate exclude each other");
}

TEST(Options, OneActionAtATime)
{
	EXPECT_EQ(parse({ "--info" }).options.action, Action::Info);
	EXPECT_EQ(parse({ "--list" }).options.action, Action::List);
	EXPECT_EQ(parse({ "--nvm-read" }).options.action, Action::NvmRead);
	ParseResult r = parse({ "--nvm-backup", "nvm.bin" });
	EXPECT_EQ(r.options.action, Action::NvmBackup);
	EXPECT_EQ(r.options.nvmFile, "nvm.bin");
	EXPECT_EQ(parse({ "--nvm-restore=nvm.bin" }).options.action, Action::NvmRestore);

	// Both timers in one run.
	r = parse({ "--power-save", "15", "--power-off", "240" });
	ASSERT_EQ(r.error, "");
	EXPECT_EQ(r.options.action, Action::PowerTimers);
	EXPECT_EQ(r.options.powerSave, 15u);
	EXPECT_EQ(r.options.powerOff, 240u);

	EXPECT_EQ(parse({ "--info", "--list" }).error,
		  "choose one of --list, --info, --nvm-read, --nvm-backup, --nvm-restore, "
		  "--power-save/--power-off, --wait-button, or a scan");
	// --help wins over everything, also over errors of the combination.
	EXPECT_EQ(parse({ "--info", "--list", "--help" }).options.action, Action::Help);
}

TEST(Options, WaitButtonTakesAnOptionalNumberOfSeconds)
{
	ParseResult r = parse({ "--wait-button" });
	ASSERT_EQ(r.error, "");
	EXPECT_EQ(r.options.action, Action::WaitButton);
	EXPECT_FALSE(r.options.buttonTimeout);

	r = parse({ "--wait-button", "2.5", "-q" });
	ASSERT_EQ(r.error, "");
	EXPECT_EQ(r.options.buttonTimeout, 2.5);
	EXPECT_TRUE(r.options.quiet);

	r = parse({ "--wait-button", "--model", "KT918" });
	ASSERT_EQ(r.error, "");
	EXPECT_FALSE(r.options.buttonTimeout);
	EXPECT_EQ(r.options.model, "KT918");

	EXPECT_EQ(parse({ "--wait-button=0" }).error,
		  "invalid value '0' for --wait-button: the time is a number of seconds above 0, at most 86400");
}

TEST(Options, WaitForABusyScannerSixtySecondsUnlessTold)
{
	EXPECT_EQ(parse({ "-o", "a.png" }).options.busyWaitSeconds, 60);
	EXPECT_EQ(parse({ "-o", "a.png", "--wait", "0" }).options.busyWaitSeconds, 0);
	EXPECT_EQ(parse({ "--info", "--wait=2.5" }).options.busyWaitSeconds, 2.5);
	EXPECT_EQ(parse({ "-o", "a.png", "--wait", "-1" }).error,
		  "invalid value '-1' for --wait: the time is a number of seconds from 0 to 86400");
}

TEST(Options, EmbeddedScannerOnlyWithoutADeviceFolder)
{
	Options options;
	EXPECT_EQ(scannerSourceFor(options, nullptr), ScannerSource::FoundOrEmbedded);
	EXPECT_EQ(scannerSourceFor(options, ""), ScannerSource::FoundOrEmbedded);
	EXPECT_EQ(scannerSourceFor(options, "/run/torvane"), ScannerSource::Found);
	options.simulate = true;
	EXPECT_EQ(scannerSourceFor(options, "/run/torvane"), ScannerSource::Embedded);
	EXPECT_EQ(scannerSourceFor(options, nullptr), ScannerSource::Embedded);
	options.simulate = false;
	options.noSimulate = true;
	EXPECT_EQ(scannerSourceFor(options, nullptr), ScannerSource::Found);
}

TEST(Options, HelpDocumentsEveryExitCode)
{
	const std::string text = usageText("torvane-scan");
	for (const char *line : { "  0    done", "  1    bad option", "  2    no supported scanner", "  3    the driver",
				  "  4    the output", "  5    the driver library", "  6    --wait-button",
				  "  130  cancelled" })
		EXPECT_NE(text.find(line), std::string::npos) << line;
}

} // namespace
} // namespace torvane::scan
