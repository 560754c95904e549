// SPDX-License-Identifier: MIT
// Words for the driver's error codes, and the exit code each one leads to.

#include "error_messages.h"

#include <array>

#include <torvane/torvane.h>

namespace torvane::scan {

namespace {

// Every code the driver reports: those it sets itself, and those it derives
// from the scanner's sense data (sense key, or additional sense code and
// qualifier). Rows are in code order.
constexpr std::array<DriverErrorText, 39> kDriverErrors = { {
	{ TORVANE_ERROR_NONE, "the driver gave no reason: the transfer to the scanner failed or the scanner answered with an unexpected status", ExitCode::Device },
	{ TORVANE_ERROR_DEFERRED, "the scanner reported an error of an earlier command (deferred error)", ExitCode::Device },
	{ TORVANE_ERROR_NO_SCANNER, "no supported scanner found (or the scanner is not the model of the driver library)", ExitCode::NoScanner },
	{ TORVANE_ERROR_NO_MEMORY, "not enough memory for the scan buffers", ExitCode::Device },
	{ TORVANE_ERROR_NO_DEVICE, "the scanner's device could not be opened: it was unplugged, switched off, or is not accessible to this user", ExitCode::Device },
	{ TORVANE_ERROR_DISCONNECTED, "the scanner was disconnected", ExitCode::Device },
	{ TORVANE_ERROR_NO_IMAGE_DATA, "no image data arrived from the scanner", ExitCode::Device },
	{ TORVANE_ERROR_CANCELLED, "the scan was cancelled", ExitCode::Cancelled },
	{ TORVANE_ERROR_BUSY, "scanner busy: another program is scanning or holds the scanner; try again when it has finished", ExitCode::Device },
	{ TORVANE_ERROR_INQUIRY_FAILED, "the scanner did not answer the identification command", ExitCode::Device },
	{ TORVANE_ERROR_INTERNAL_FAULT, "the scanner reported an internal fault; switch it off and on again", ExitCode::Device },
	{ TORVANE_ERROR_HARDWARE, "the scanner reported a hardware fault or could not be set up for the scan", ExitCode::Device },
	{ TORVANE_ERROR_ILLEGAL_REQUEST, "the scanner refused a command or one of its settings (illegal request)", ExitCode::Device },
	{ TORVANE_ERROR_LAMP, "lamp failure: the scanner's lamp did not light", ExitCode::Device },
	{ TORVANE_ERROR_SENSE_1504, "the scanner reported a positioning error of the scan head or the paper", ExitCode::Device },
	{ TORVANE_ERROR_NOT_READY, "scanner not ready: it is warming up, or a cover is open; wait a moment and try again", ExitCode::Device },
	{ TORVANE_ERROR_ABORTED, "the scanner aborted the command", ExitCode::Device },
	{ TORVANE_ERROR_SENSE_8001, "the scanner reported a device fault", ExitCode::Device },
	{ TORVANE_ERROR_SENSE_8002, "the scanner reported a device fault", ExitCode::Device },
	{ TORVANE_ERROR_SENSE_8003, "the scanner reported a device fault", ExitCode::Device },
	{ TORVANE_ERROR_HEAD_POSITIONING, "scan head positioning error: the scan head did not reach its position", ExitCode::Device },
	{ TORVANE_ERROR_SENSE_8004, "the scanner reported a device fault", ExitCode::Device },
	{ TORVANE_ERROR_BUTTON_EVENT, "the wait for the scanner's buttons could not be set up", ExitCode::Device },
	{ TORVANE_ERROR_SENSE_8015, "the scanner reported a device fault", ExitCode::Device },
	{ TORVANE_ERROR_GENERAL, "the scanner reported an error or refused the operation", ExitCode::Device },
	{ TORVANE_ERROR_POSITIONING_READ, "the scanner reported a positioning error of the scan head or the paper", ExitCode::Device },
	{ TORVANE_ERROR_SENSE_1503, "the scanner reported a positioning error of the scan head or the paper", ExitCode::Device },
	{ TORVANE_ERROR_SENSE_4401, "the scanner reported an internal failure", ExitCode::Device },
	{ TORVANE_ERROR_SENSE_4402, "the scanner reported an internal failure", ExitCode::Device },
	{ TORVANE_ERROR_SENSE_6001, "the scanner's lamp or light sensor reported a fault", ExitCode::Device },
	{ TORVANE_ERROR_SENSE_6002, "the scanner's lamp or light sensor reported a fault", ExitCode::Device },
	{ TORVANE_ERROR_FEEDER_EMPTY, "feeder empty: there is no paper in the document feeder", ExitCode::Device },
	{ TORVANE_ERROR_COVER_OPEN, "cover open: close the document feeder's cover", ExitCode::Device },
	{ TORVANE_ERROR_PAPER_JAM, "paper jam: open the feeder, take the sheet out and try again", ExitCode::Device },
	{ TORVANE_ERROR_DOUBLE_FEED, "double feed: two sheets went in at once; scan them again one by one", ExitCode::Device },
	{ TORVANE_ERROR_SENSE_8005, "the scanner reported a device fault", ExitCode::Device },
	{ TORVANE_ERROR_SENSE_800A, "the scanner reported a device fault", ExitCode::Device },
	{ TORVANE_ERROR_SENSE_800B, "the scanner reported a device fault", ExitCode::Device },
	{ TORVANE_ERROR_SENSE_800C, "the scanner reported a device fault", ExitCode::Device },
} };

} // namespace

const DriverErrorText *findDriverError(int32_t code)
{
	for (const auto &row : kDriverErrors)
		if (row.code == code)
			return &row;
	return nullptr;
}

std::string describeDriverError(int32_t code)
{
	std::string text;
	if (const DriverErrorText *row = findDriverError(code))
		text = row->text;
	else if (code > 0 && code < 128)
		// Sense data of a format the driver does not decode: the code is the
		// response code itself.
		text = "the scanner sent error information of an unknown format";
	else
		text = "the driver reported an unknown error";
	return text + " (driver error " + std::to_string(code) + ")";
}

ExitCode exitCodeForDriverError(int32_t code)
{
	if (const DriverErrorText *row = findDriverError(code))
		return row->exit;
	return ExitCode::Device;
}

} // namespace torvane::scan
