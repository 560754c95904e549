// SPDX-License-Identifier: MIT
// The actions of torvane-scan, each driving the scanner only through the
// driver's exports, in the order a front end calls them.

#include "frontend.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cancel.h"
#include "error_messages.h"
#include "image_writer.h"
#include "progress.h"
#include "record_text.h"
#include "scan_plan.h"
#include "usb_access.h"

namespace torvane::scan {

namespace {

// Image bytes asked for per ReadScan call, rounded down to whole lines.
constexpr uint32_t kReadBytes = 256 * 1024;
// ... and at most this many lines: ReadScan returns only when it has all it
// was asked for, and Ctrl-C is looked at between calls. At a low resolution
// 256 KiB are many scanned chunks (seconds on a slow scanner); 16 lines are
// less than one.
constexpr uint32_t kReadLines = 16;
// The button poll interval.
constexpr auto kButtonPoll = std::chrono::milliseconds(40);

const char *kindName(PixelKind kind)
{
	switch (kind) {
	case PixelKind::Colour:
		return "color";
	case PixelKind::Grey:
		return "gray";
	case PixelKind::Bilevel:
		return "1-bit";
	}
	return "";
}

// At most `limit` bytes from the start of the regular file `path`; the
// reason when it cannot be read, empty on success. Nothing else is read: the
// open of a FIFO would wait for a writer (O_NONBLOCK keeps it from waiting),
// and a device may never end or never answer.
std::string readFileStart(const std::string &path, size_t limit, std::vector<uint8_t> *bytes)
{
	const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
	if (fd < 0)
		return std::strerror(errno);
	struct stat info {};
	if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
		const int failure = errno;
		::close(fd);
		if (S_ISDIR(info.st_mode))
			return std::strerror(EISDIR);
		return info.st_mode != 0 ? "not a regular file" : std::strerror(failure);
	}
	bytes->resize(limit);
	size_t got = 0;
	int failure = 0;
	while (got < limit) {
		const ssize_t n = ::read(fd, bytes->data() + got, limit - got);
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0) {
			failure = n < 0 ? errno : 0;
			break;
		}
		got += static_cast<size_t>(n);
	}
	::close(fd);
	bytes->resize(got);
	return failure != 0 ? std::strerror(failure) : std::string();
}

} // namespace

void printError(const std::string &text)
{
	std::fprintf(stderr, "torvane-scan: %s\n", text.c_str());
}

void printNote(const std::string &text)
{
	std::fprintf(stderr, "torvane-scan: %s\n", text.c_str());
}

ExitCode Frontend::run()
{
	ExitCode code = ExitCode::Ok;
	try {
		code = runAction();
		while (retryWhenBusy_) {
			if (!busyWait_.pause()) {
				code = cancelled();
				break;
			}
			retryWhenBusy_ = false;
			code = runAction();
		}
	} catch (...) {
		// Whatever went wrong, the scanner is left free for the next program;
		// the caller reports the fault.
		if (scanOpen_)
			api_.StopScan();
		api_.TerminateDriver();
		throw;
	}
	// The end of the call order; it also resets the button wait.
	api_.TerminateDriver();
	return code;
}

ExitCode Frontend::runAction()
{
	ExitCode code = ExitCode::Ok;
	switch (options_.action) {
	case Action::Scan:
		code = scan();
		break;
	case Action::List:
		code = list();
		break;
	case Action::Info:
		code = info();
		break;
	case Action::NvmRead:
		code = nvmRead();
		break;
	case Action::NvmBackup:
		code = nvmBackup();
		break;
	case Action::NvmRestore:
		code = nvmRestore();
		break;
	case Action::PowerTimers:
		code = powerTimers();
		break;
	case Action::WaitButton:
		code = waitButton();
		break;
	case Action::Help:
	case Action::Version:
		break;
	}
	return code;
}

ExitCode Frontend::driverFailure(const std::string &what)
{
	return driverFailure(what, library_.takeLastError());
}

ExitCode Frontend::driverFailure(const std::string &what, int32_t code)
{
	if (mayRetryWhenBusy_ && busyWait_.shouldRetry(code)) {
		retryWhenBusy_ = true;
		return exitCodeForDriverError(code);
	}
	printError(what + ": " + describeDriverError(code));
	return exitCodeForDriverError(code);
}

ExitCode Frontend::cancelled()
{
	printNote("cancelled");
	return ExitCode::Cancelled;
}

ExitCode Frontend::findScanner()
{
	if (cancelRequested())
		return cancelled();
	const client::Outcome found = session_.findScanner();
	return found ? ExitCode::Ok : scannerNotFound(found.error);
}

ExitCode Frontend::openScanner(ScannerAbility *basic, ScannerAbilityEx *extended, bool checkModel)
{
	if (cancelRequested())
		return cancelled();
	const client::Opening opening = session_.openScanner(basic, extended, checkModel);
	const int32_t code = opening.outcome.error;
	switch (opening.failedStep) {
	case client::OpenStep::None:
		break;
	case client::OpenStep::FindScanner:
		return scannerNotFound(code);
	case client::OpenStep::ReadAbilities:
		return driverFailure("the scanner's abilities could not be read", code);
	case client::OpenStep::CheckModel:
		return wrongModel(*extended, code);
	}
	return ExitCode::Ok;
}

ExitCode Frontend::scannerNotFound(int32_t code)
{
	if (code == TORVANE_ERROR_NO_SCANNER) {
		const char *folder = std::getenv("TORVANE_DEVICE_DIR");
		std::string where;
		if (folder && *folder && !simulated_)
			where = std::string(" in TORVANE_DEVICE_DIR=") + folder + " (is torvane-sim serving it?)";
		printError("no supported scanner found" + where);
		if (!folder && !simulated_)
			if (const std::string hint = usbAccessHint(); !hint.empty())
				printError(hint);
		return ExitCode::NoScanner;
	}
	return driverFailure("the scanner could not be searched for", code);
}

ExitCode Frontend::wrongModel(const ScannerAbilityEx &extended, int32_t code)
{
	if (code == TORVANE_ERROR_NO_SCANNER) {
		const std::string found = productName(extended);
		printError("the scanner found is the model " + (found.empty() ? std::string("(no name)") : found) +
			   ", but the driver library loaded is " + client::libraryModel(library_.path()) + ".so" +
			   (found.empty() ? std::string() : ": run with --model " + found));
		return ExitCode::NoScanner;
	}
	return driverFailure("the scanner did not answer", code);
}

ExitCode Frontend::scan()
{
	ScannerAbility basic{};
	ScannerAbilityEx extended{};
	if (const ExitCode code = openScanner(&basic, &extended, true); code != ExitCode::Ok)
		return code;

	const PlanResult planned = planScan(options_, ScannerArea{ extended.ScanWidth, extended.ScanLength });
	if (!planned.error.empty()) {
		printError(planned.error);
		return ExitCode::Usage;
	}
	const ScanPlan &plan = planned.plan;
	if (options_.scansStack())
		return scanStack(plan);

	// The output is set up before the scanner is: a path that cannot be
	// written fails before anything moves.
	OutputFile output(options_.output);
	std::unique_ptr<ImageWriter> writer;
	if (const ExitCode code = openOutput(output, plan.image, &writer); code != ExitCode::Ok)
		return code;
	if (const ExitCode code = startScan(plan); code != ExitCode::Ok)
		return code;

	const ImageTransfer transfer = transferImage(*writer, plan.image);
	const client::Outcome stop = session_.stop();
	scanOpen_ = false;
	return finishOutput(output, *writer, plan.image, transfer, stop);
}

ExitCode Frontend::openOutput(OutputFile &output, const ImageGeometry &image, std::unique_ptr<ImageWriter> *writer)
{
	std::string error;
	const int fd = output.create(&error, options_.format == OutputFormat::Tiff);
	if (fd < 0) {
		printError(error);
		return ExitCode::File;
	}
	*writer = createImageWriter(options_.format, fd, image, &error);
	if (!*writer) {
		printError("cannot write '" + options_.output + "': " + error);
		return ExitCode::File;
	}
	return ExitCode::Ok;
}

ExitCode Frontend::startScan(const ScanPlan &plan)
{
	// Tone curves: one per colour channel when the scanner scans in colour,
	// else the single grey curve.
	unsigned char table[256];
	buildGammaTable(options_.gamma, table);
	const client::Outcome curve = session_.sendToneCurve(table, plan.scannedInColour);
	if (!curve)
		return driverFailure("the tone curve could not be sent to the scanner", curve.error);
	if (cancelRequested())
		return cancelled();

	const client::Outcome setUp = session_.setUp(plan.parameter);
	if (!setUp)
		return driverFailure("the scan could not be set up", setUp.error);
	client::Outcome started;
	{
		// The acquisition thread starts here: it must not take our signals.
		CancelSignalsBlocked blocked;
		started = session_.start();
	}
	if (!started)
		return driverFailure("the scan could not be started", started.error);
	// From here on the scan is ours: a failure is never waited out.
	mayRetryWhenBusy_ = false;
	scanOpen_ = true;
	return ExitCode::Ok;
}

Frontend::ImageTransfer Frontend::transferImage(ImageWriter &writer, const ImageGeometry &image)
{
	// The driver delivers exactly the bytes asked for: the image is
	// LineNum lines of bytesPerLine, read in pieces of whole lines.
	const uint32_t linesPerRead = std::clamp<uint32_t>(kReadBytes / image.bytesPerLine, 1, kReadLines);
	std::vector<uint8_t> buffer(size_t(linesPerRead) * image.bytesPerLine);
	ProgressBar progress(image.imageBytes(), !options_.quiet && ProgressBar::streamIsTerminal(stderr));
	ImageTransfer transfer;
	uint32_t linesDone = 0;
	while (linesDone < image.height && !cancelRequested()) {
		const uint32_t lines = std::min(linesPerRead, image.height - linesDone);
		const client::Outcome read = session_.read(buffer.data(), lines * image.bytesPerLine);
		if (!read) {
			transfer.readFailed = true;
			transfer.readError = read.error;
			break;
		}
		if (!writer.writeLines(buffer.data(), lines)) {
			transfer.writeFailed = true;
			break;
		}
		linesDone += lines;
		progress.update(uint64_t(linesDone) * image.bytesPerLine);
	}
	progress.finish();
	return transfer;
}

ExitCode Frontend::finishOutput(OutputFile &output, ImageWriter &writer, const ImageGeometry &image,
				const ImageTransfer &transfer, const client::Outcome &stop)
{
	const bool stopped = stop.ok;
	const int32_t stopError = stop.error;

	if (cancelRequested() || stopError == TORVANE_ERROR_CANCELLED) {
		output.discard();
		// A device or FIFO keeps what it has been sent; a file is not made.
		printNote(output.writesInPlace() ? "scan cancelled" : "scan cancelled; nothing was written");
		return ExitCode::Cancelled;
	}
	if (transfer.readFailed) {
		output.discard();
		return driverFailure("the image could not be read", transfer.readError);
	}
	if (transfer.writeFailed || !writer.finish()) {
		output.discard();
		printError("cannot write '" + options_.output + "': " + writer.error());
		return ExitCode::File;
	}
	std::string error;
	if (!output.commit(&error)) {
		printError(error);
		return ExitCode::File;
	}
	if (!stopped) {
		// Every byte arrived and is saved; only the end of the scan failed.
		printError("the image was saved, but the scanner did not accept the end of the scan: " +
			   describeDriverError(stopError));
		return exitCodeForDriverError(stopError);
	}
	if (!options_.quiet)
		printNote("wrote " + options_.output + ": " + std::to_string(image.width) + " x " +
			  std::to_string(image.height) + " pixels, " + kindName(image.kind) + ", " +
			  std::to_string(image.dpi) + " dpi");
	return ExitCode::Ok;
}

ExitCode Frontend::list()
{
	ScannerAbility basic{};
	ScannerAbilityEx extended{};
	if (const ExitCode code = openScanner(&basic, &extended, false); code != ExitCode::Ok)
		return code;
	std::string line = describeScannerLine(extended);
	if (simulated_)
		line += ", simulated";
	if (api_.InitializeScanner()) {
		line += "; driver " + library_.path();
	} else {
		const int32_t failure = library_.takeLastError();
		line += failure == TORVANE_ERROR_NO_SCANNER ? "; needs --model " + productName(extended)
							    : "; does not answer: " + describeDriverError(failure);
	}
	std::printf("%s\n", line.c_str());
	return ExitCode::Ok;
}

ExitCode Frontend::info()
{
	ScannerAbility basic{};
	ScannerAbilityEx extended{};
	if (const ExitCode code = openScanner(&basic, &extended, false); code != ExitCode::Ok)
		return code;
	std::printf("%s", describeAbilities(basic, extended).c_str());
	std::printf("Driver library: %s%s\n", library_.path().c_str(), simulated_ ? " (simulated scanner)" : "");
	return ExitCode::Ok;
}

ExitCode Frontend::nvmRead()
{
	ExitCode code = findScanner();
	if (code != ExitCode::Ok)
		return code;
	NvmRecord record{};
	if (!api_.ReadNVMData(&record))
		return driverFailure("the non-volatile memory could not be read");
	std::printf("%s", describeNvmRecord(record).c_str());
	return ExitCode::Ok;
}

ExitCode Frontend::nvmBackup()
{
	ExitCode code = findScanner();
	if (code != ExitCode::Ok)
		return code;
	NvmRecord record{};
	if (!api_.ReadNVMData(&record))
		return driverFailure("the non-volatile memory could not be read");

	OutputFile output(options_.nvmFile);
	std::string error;
	const int fd = output.create(&error);
	if (fd < 0) {
		printError(error);
		return ExitCode::File;
	}
	FILE *file = ::fdopen(fd, "wb");
	bool written = file && std::fwrite(&record, 1, sizeof(record), file) == sizeof(record);
	written = file && std::fclose(file) == 0 && written;
	if (!file)
		::close(fd);
	// A backup is what a later restore relies on: it is on the disk before
	// it takes its name, and the name is on the disk after.
	if (!written || !output.commit(&error, OutputFile::Sync::ToDisk)) {
		printError(error.empty() ? "cannot write '" + options_.nvmFile + "': " + std::strerror(errno) : error);
		return ExitCode::File;
	}
	if (!options_.quiet)
		printNote("saved the " + std::to_string(sizeof(record)) + "-byte record to " + options_.nvmFile);
	return ExitCode::Ok;
}

ExitCode Frontend::nvmRestore()
{
	// The file is checked before the scanner is touched.
	std::vector<uint8_t> bytes;
	if (const std::string failure = readFileStart(options_.nvmFile, sizeof(NvmRecord) + 1, &bytes);
	    !failure.empty()) {
		printError("cannot read '" + options_.nvmFile + "': " + failure);
		return ExitCode::File;
	}
	if (bytes.size() != sizeof(NvmRecord)) {
		printError("'" + options_.nvmFile + "' holds " +
			   (bytes.size() > sizeof(NvmRecord) ? "more than " + std::to_string(sizeof(NvmRecord))
							     : std::to_string(bytes.size())) +
			   " bytes; a backup of the non-volatile memory holds exactly " +
			   std::to_string(sizeof(NvmRecord)) + ": nothing was written");
		return ExitCode::File;
	}
	NvmRecord record{};
	std::memcpy(&record, bytes.data(), sizeof(record));

	ScannerAbility basic{};
	ScannerAbilityEx extended{};
	if (const ExitCode code = openScanner(&basic, &extended, true); code != ExitCode::Ok)
		return code;
	if (!api_.WriteNVMData(&record))
		return driverFailure("the non-volatile memory could not be written");

	NvmRecord check{};
	if (!api_.ReadNVMData(&check))
		return driverFailure("the record was written, but could not be read back");
	if (std::memcmp(&check, &record, sizeof(record)) != 0) {
		printError("the record read back differs from the one written");
		return ExitCode::Device;
	}
	if (!options_.quiet)
		printNote("restored the non-volatile memory from " + options_.nvmFile);
	return ExitCode::Ok;
}

ExitCode Frontend::powerTimers()
{
	ScannerAbility basic{};
	ScannerAbilityEx extended{};
	if (const ExitCode code = openScanner(&basic, &extended, true); code != ExitCode::Ok)
		return code;
	if (options_.powerSave) {
		if (!api_.SetPowerSaveTime(static_cast<int>(*options_.powerSave)))
			return driverFailure("the power-save time could not be set");
		if (!options_.quiet)
			printNote("power-save time set to " + std::to_string(*options_.powerSave));
	}
	if (options_.powerOff) {
		if (!api_.SendPowerOffTime(static_cast<int>(*options_.powerOff)))
			return driverFailure("the power-off time could not be set");
		if (!options_.quiet)
			printNote("power-off time set to " + std::to_string(*options_.powerOff));
	}
	return ExitCode::Ok;
}

ExitCode Frontend::waitButton()
{
	ExitCode code = findScanner();
	if (code != ExitCode::Ok)
		return code;
	ButtonSetup setup{};
	if (!api_.InitialButton(&setup))
		return driverFailure("the scanner's buttons could not be queried");
	if (setup.HasButtons == 0) {
		printError("this scanner has no push buttons");
		return ExitCode::NoButton;
	}
	if (!options_.quiet)
		printNote("waiting for a press of one of the scanner's " + std::to_string(setup.ButtonCount) +
			  " buttons (Ctrl-C to stop)");

	using Clock = std::chrono::steady_clock;
	const auto start = Clock::now();
	while (!cancelRequested()) {
		ButtonReport report{};
		if (!api_.ReadPushButton(&report))
			return driverFailure("the scanner's buttons could not be read");
		if (report.Bytes[0] == 0x81) {
			std::printf("button %u\n", report.Bytes[1]);
			std::fflush(stdout);
			return ExitCode::Ok;
		}
		if (options_.buttonTimeout &&
		    std::chrono::duration<double>(Clock::now() - start).count() >= *options_.buttonTimeout) {
			printError("no button was pressed in time");
			return ExitCode::NoButton;
		}
		std::this_thread::sleep_for(kButtonPoll);
	}
	return cancelled();
}

} // namespace torvane::scan
