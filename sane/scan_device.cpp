// SPDX-License-Identifier: MIT
// One open Torvane device: its options, its buttons, and a scan whose image a
// reader thread moves from the driver's ReadScan into a socket pair, whose
// read end is the select fd.

#include "scan_device.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <vector>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "client/batch.h"
#include "busy_wait.h"
#include "debug_output.h"
#include "sane_status.h"

namespace torvane::sane {

namespace {

// Image bytes asked of ReadScan at a time: small enough that a cancelled
// scan ends within one piece, large enough to cost nothing.
constexpr uint32_t kReadPieceBytes = 64 * 1024;
// How long sane_start waits for a scanner that is not ready (warming up);
// a busy scanner is waited for as long as torvane.conf says (busy_wait.h).
constexpr auto kNotReadyWait = std::chrono::seconds(10);
// How often a busy or warming scanner is asked again, and how soon a
// sane_cancel ends the wait.
constexpr auto kRetryInterval = std::chrono::milliseconds(250);
constexpr auto kCancelCheck = std::chrono::milliseconds(10);

constexpr double kMillimetresPerUnit = 25.4 / 300.0;

// Kind code 1 (flag 0x40) is a flatbed; the others feed sheets.
bool isSheetFed(const ScannerAbility &basic)
{
	return (basic.KindFlags & 0x40) == 0;
}

// The threads started while it lives (the reader, the driver's acquisition
// thread) inherit every signal blocked: the front end's SIGINT handler runs
// on its own thread and never interrupts their I/O.
class AllSignalsBlocked
{
public:
	AllSignalsBlocked()
	{
		sigset_t all;
		sigfillset(&all);
		pthread_sigmask(SIG_BLOCK, &all, &previous_);
	}
	~AllSignalsBlocked() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
	AllSignalsBlocked(const AllSignalsBlocked &) = delete;
	AllSignalsBlocked &operator=(const AllSignalsBlocked &) = delete;

private:
	sigset_t previous_;
};

// Writes all of `length` bytes; false when the read end has gone (cancel).
bool sendAll(int fd, const uint8_t *data, size_t length)
{
	while (length > 0) {
		const ssize_t sent = ::send(fd, data, length, MSG_NOSIGNAL);
		if (sent < 0 && errno == EINTR)
			continue;
		if (sent <= 0)
			return false;
		data += sent;
		length -= static_cast<size_t>(sent);
	}
	return true;
}

void shutdownIfOpen(const std::atomic<int> &fd)
{
	const int value = fd.load();
	if (value >= 0)
		::shutdown(value, SHUT_RDWR);
}

void closeAndForget(std::atomic<int> &fd)
{
	const int value = fd.exchange(-1);
	if (value >= 0)
		::close(value);
}

} // namespace

SANE_Status ScanDevice::open(client::DriverLibrary &library, std::unique_ptr<ScanDevice> *device)
{
	std::unique_ptr<ScanDevice> opened(new ScanDevice(library));
	client::DriverSession &session = opened->session_;
	ScannerAbility basic{};
	ScannerAbilityEx extended{};
	const client::Outcome outcome = session.openScanner(&basic, &extended, true).outcome;
	if (!outcome) {
		debugLog(kDebugError, "the scanner could not be opened: driver error %s", driverErrorText(outcome.error).c_str());
		library.api().TerminateDriver();
		return statusForDriverError(outcome.error, CallSite::Open);
	}

	DeviceAbilities abilities;
	abilities.widthMm = extended.ScanWidth * kMillimetresPerUnit;
	abilities.lengthMm = extended.ScanLength * kMillimetresPerUnit;
	abilities.sheetFed = isSheetFed(basic);
	ButtonSetup buttons{};
	if (library.api().InitialButton(&buttons))
		abilities.buttons = buttons.HasButtons ? buttons.ButtonCount : 0;
	else
		library.takeLastError();
	debugLog(kDebugDetail, "scan area %.1f x %.1f mm, %d buttons", abilities.widthMm, abilities.lengthMm,
		 abilities.buttons);
	opened->options_ = std::make_unique<DeviceOptions>(abilities);
	*device = std::move(opened);
	return SANE_STATUS_GOOD;
}

ScanDevice::~ScanDevice()
{
	finishScan();
}

SANE_Bool ScanDevice::takeButtonPress(int number)
{
	// During a scan the driver refuses the poll (the scanner is busy), and
	// its error code would race with the reader's: a press then waits.
	if (!cycleOpen_) {
		ButtonReport report{};
		if (library_.api().ReadPushButton(&report)) {
			if (report.Bytes[0] == 0x81 && report.Bytes[1] >= 1 && report.Bytes[1] <= 32) {
				debugLog(kDebugDetail, "button %u pressed", report.Bytes[1]);
				pressedButtons_ |= 1u << (report.Bytes[1] - 1);
			}
		} else {
			library_.takeLastError();
		}
	}
	const unsigned bit = 1u << (number - 1);
	const bool pressed = (pressedButtons_ & bit) != 0;
	pressedButtons_ &= ~bit;
	return pressed ? SANE_TRUE : SANE_FALSE;
}

bool ScanDevice::frameUnderWay() const
{
	return cycleOpen_ && !cancelRequested_.load();
}

SANE_Status ScanDevice::start()
{
	// A start while the frame is still being read would end that scan and
	// begin another one under the front end's feet: read it to its end (or
	// cancel it) first.
	if (frameUnderWay()) {
		debugLog(kDebugError, "sane_start: a scan is under way; read it to the end or cancel it first");
		return SANE_STATUS_DEVICE_BUSY;
	}
	finishScan();
	cancelRequested_.store(false);
	const client::WindowResult planned = options_->window();
	if (!planned.error.empty()) {
		debugLog(kDebugError, "sane_start: %s", planned.error.c_str());
		return SANE_STATUS_INVAL;
	}
	const client::ScanWindow &window = planned.window;
	const auto curve = options_->toneCurve();
	const client::Outcome sent =
		retryWhileBusy([&] { return session_.sendToneCurve(curve.data(), window.scannedInColour); });
	if (!sent) {
		debugLog(kDebugError, "SetGammaTable failed: driver error %s", driverErrorText(sent.error).c_str());
		return cancelRequested_.load() ? SANE_STATUS_CANCELLED : statusForDriverError(sent.error);
	}

	int fds[2];
	if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
		return SANE_STATUS_NO_MEM;
	readFd_.store(fds[0]);
	writeFd_.store(fds[1]);
	readerStatus_.store(SANE_STATUS_GOOD);

	const SANE_Status status = setUpWithRetry(window.parameter);
	if (status != SANE_STATUS_GOOD) {
		closeAndForget(readFd_);
		closeAndForget(writeFd_);
		return status;
	}
	cycleOpen_ = true;
	endStatus_ = SANE_STATUS_EOF;
	{
		AllSignalsBlocked blocked;
		reader_ = std::thread(&ScanDevice::readerLoop, this, uint64_t(window.bytesPerLine) * window.lines,
				      window.bytesPerLine);
	}
	debugLog(kDebugCall, "scan started: %u x %u pixels, %u bytes per line, %u dpi", window.pixels, window.lines,
		 window.bytesPerLine, window.parameter.XRes);
	return SANE_STATUS_GOOD;
}

// The feeder's reason in words: SANE has no status for a double feed, so
// that one reaches the user through this line alone.
void ScanDevice::logStartFailure(int32_t code)
{
	const char *feeder = client::feederWords(client::feederReportOf(code));
	if (*feeder)
		debugLog(kDebugError, "the scan could not be started: %s (driver error %s)", feeder,
			 driverErrorText(code).c_str());
	else
		debugLog(kDebugError, "the scan could not be started: driver error %s", driverErrorText(code).c_str());
}

template<typename Attempt>
client::Outcome ScanDevice::retryWhileBusy(Attempt attempt)
{
	const auto started = std::chrono::steady_clock::now();
	const std::chrono::milliseconds busyLimit = busyWaitLimit();
	bool told = false;
	for (;;) {
		const client::Outcome outcome = attempt();
		if (outcome || cancelRequested_.load())
			return outcome;
		const auto limit = outcome.error == TORVANE_ERROR_NOT_READY ? std::chrono::milliseconds(kNotReadyWait)
				   : outcome.error == TORVANE_ERROR_BUSY    ? busyLimit
									    : std::chrono::milliseconds(0);
		if (std::chrono::steady_clock::now() - started >= limit)
			return outcome;
		if (!told) {
			told = true;
			const char *why = outcome.error == TORVANE_ERROR_BUSY ? "busy with another program's scan" : "not ready";
			debugLog(kDebugWarning, "the scanner is %s; waiting up to %lld ms", why,
				 static_cast<long long>(limit.count()));
		}
		if (!pauseUnlessCancelled())
			return outcome;
	}
}

bool ScanDevice::pauseUnlessCancelled() const
{
	const auto until = std::chrono::steady_clock::now() + kRetryInterval;
	while (std::chrono::steady_clock::now() < until) {
		if (cancelRequested_.load())
			return false;
		std::this_thread::sleep_for(kCancelCheck);
	}
	return !cancelRequested_.load();
}

SANE_Status ScanDevice::setUpWithRetry(const ScanParameter &parameter)
{
	const client::Outcome outcome = retryWhileBusy([&] {
		client::Outcome step = session_.setUp(parameter);
		if (step) {
			driverScanning_.store(true);
			{
				AllSignalsBlocked blocked;
				step = session_.start();
			}
			if (!step)
				driverScanning_.store(false);
		}
		return step;
	});
	if (outcome)
		return SANE_STATUS_GOOD;
	if (cancelRequested_.load())
		return SANE_STATUS_CANCELLED;
	logStartFailure(outcome.error);
	return statusForDriverError(outcome.error);
}

void ScanDevice::readerLoop(uint64_t imageBytes, uint32_t bytesPerLine)
{
	const uint32_t piece = std::max<uint32_t>(1, kReadPieceBytes / bytesPerLine) * bytesPerLine;
	std::vector<uint8_t> buffer(piece);
	SANE_Status status = SANE_STATUS_EOF;
	uint64_t done = 0;
	while (done < imageBytes) {
		if (cancelRequested_.load()) {
			status = SANE_STATUS_CANCELLED;
			break;
		}
		// Whole lines: the driver delivers exactly the bytes asked for.
		const uint32_t length = static_cast<uint32_t>(std::min<uint64_t>(piece, imageBytes - done));
		const client::Outcome read = session_.read(buffer.data(), length);
		if (!read) {
			status = cancelRequested_.load() ? SANE_STATUS_CANCELLED : statusForDriverError(read.error);
			debugLog(kDebugError, "ReadScan failed after %llu bytes: driver error %s",
				 static_cast<unsigned long long>(done), driverErrorText(read.error).c_str());
			break;
		}
		if (!sendAll(writeFd_.load(), buffer.data(), length)) {
			status = SANE_STATUS_CANCELLED;
			break;
		}
		done += length;
	}
	readerStatus_.store(status);
	// The front end sees the end of the data as the end of the stream.
	const int fd = writeFd_.load();
	if (fd >= 0)
		::shutdown(fd, SHUT_WR);
}

SANE_Status ScanDevice::read(SANE_Byte *data, SANE_Int maxLength, SANE_Int *length)
{
	*length = 0;
	if (!cycleOpen_)
		return cancelRequested_.load() ? SANE_STATUS_CANCELLED : endStatus_;
	if (maxLength <= 0)
		return SANE_STATUS_INVAL;
	ssize_t got = -1;
	while (!cancelRequested_.load()) {
		got = ::read(readFd_.load(), data, static_cast<size_t>(maxLength));
		if (got >= 0 || errno != EINTR)
			break;
	}
	if (got > 0) {
		*length = static_cast<SANE_Int>(got);
		return SANE_STATUS_GOOD;
	}
	if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && !cancelRequested_.load())
		return SANE_STATUS_GOOD;
	// The end of the stream: the whole image, a failure, or a cancel.
	finishScan();
	return cancelRequested_.load() ? SANE_STATUS_CANCELLED : endStatus_;
}

SANE_Status ScanDevice::setIoMode(bool nonBlocking)
{
	const int fd = readFd_.load();
	if (!cycleOpen_ || fd < 0)
		return SANE_STATUS_INVAL;
	const int flags = ::fcntl(fd, F_GETFL);
	if (flags < 0 || ::fcntl(fd, F_SETFL, nonBlocking ? flags | O_NONBLOCK : flags & ~O_NONBLOCK) < 0)
		return SANE_STATUS_IO_ERROR;
	return SANE_STATUS_GOOD;
}

SANE_Status ScanDevice::selectFd(SANE_Int *fd)
{
	if (!cycleOpen_ || readFd_.load() < 0)
		return SANE_STATUS_INVAL;
	*fd = readFd_.load();
	return SANE_STATUS_GOOD;
}

void ScanDevice::cancel()
{
	cancelRequested_.store(true);
	if (driverScanning_.load())
		library_.api().DoCancel();
	shutdownIfOpen(readFd_);
	shutdownIfOpen(writeFd_);
}

void ScanDevice::finishScan()
{
	if (!cycleOpen_)
		return;
	// A scan left before its end (a new start, a close) is cancelled.
	if (readerStatus_.load() == SANE_STATUS_GOOD)
		cancel();
	if (reader_.joinable())
		reader_.join();
	const SANE_Status readerEnd = readerStatus_.load();
	if (driverScanning_.exchange(false)) {
		const client::Outcome stopped = session_.stop();
		if (!stopped && stopped.error != TORVANE_ERROR_CANCELLED)
			debugLog(kDebugError, "StopScan failed: driver error %s", driverErrorText(stopped.error).c_str());
	}
	closeAndForget(readFd_);
	closeAndForget(writeFd_);
	cycleOpen_ = false;
	endStatus_ = readerEnd == SANE_STATUS_GOOD ? SANE_STATUS_CANCELLED : readerEnd;
	debugLog(kDebugCall, "scan ended: %s", statusText(endStatus_).c_str());
}

void ScanDevice::close()
{
	finishScan();
	library_.api().TerminateDriver();
}

} // namespace torvane::sane
