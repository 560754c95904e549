// SPDX-License-Identifier: MIT
// Words for the driver's error codes, and the exit code each one leads to.

#include "error_messages.h"

#include <array>

namespace torvane::scan {

namespace {

// Every code the driver reports: those it sets itself, and those it derives
// from the scanner's sense data (sense key, or additional sense code and
// qualifier). Rows are in code order.
constexpr std::array<DriverErrorText, 34> kDriverErrors = { {
	{ 0, "the driver gave no reason: the transfer to the scanner failed or the scanner answered with an unexpected status", ExitCode::Device },
	{ 113, "the scanner reported an error of an earlier command (deferred error)", ExitCode::Device },
	{ 129, "no supported scanner found (or the scanner is not the model of the driver library)", ExitCode::NoScanner },
	{ 152, "not enough memory for the scan buffers", ExitCode::Device },
	{ 155, "the scanner's device could not be opened: it was unplugged, switched off, or is not accessible to this user", ExitCode::Device },
	{ 157, "no image data arrived from the scanner", ExitCode::Device },
	{ 159, "the scan was cancelled", ExitCode::Cancelled },
	{ 162, "scanner busy: another program is scanning or holds the scanner; try again when it has finished", ExitCode::Device },
	{ 174, "the scanner did not answer the identification command", ExitCode::Device },
	{ 2001, "the scanner reported an internal fault; switch it off and on again", ExitCode::Device },
	{ 2004, "the scanner reported a hardware fault or could not be set up for the scan", ExitCode::Device },
	{ 2005, "the scanner refused a command or one of its settings (illegal request)", ExitCode::Device },
	{ 2007, "lamp failure: the scanner's lamp did not light", ExitCode::Device },
	{ 2008, "the scanner reported a positioning error of the scan head or the paper", ExitCode::Device },
	{ 2009, "scanner not ready: it is warming up, or a cover is open; wait a moment and try again", ExitCode::Device },
	{ 2010, "the scanner aborted the command", ExitCode::Device },
	{ 2013, "the scanner reported a device fault", ExitCode::Device },
	{ 2014, "the scanner reported a device fault", ExitCode::Device },
	{ 2015, "the scanner reported a device fault", ExitCode::Device },
	{ 2021, "scan head positioning error: the scan head did not reach its position", ExitCode::Device },
	{ 2022, "the scanner reported a device fault", ExitCode::Device },
	{ 2023, "the wait for the scanner's buttons could not be set up", ExitCode::Device },
	{ 2027, "the scanner reported a device fault", ExitCode::Device },
	{ 2999, "the scanner reported an error or refused the operation", ExitCode::Device },
	{ 3001, "the scanner reported a positioning error of the scan head or the paper", ExitCode::Device },
	{ 3002, "the scanner reported a positioning error of the scan head or the paper", ExitCode::Device },
	{ 3003, "the scanner reported an internal failure", ExitCode::Device },
	{ 3004, "the scanner reported an internal failure", ExitCode::Device },
	{ 3005, "the scanner's lamp or light sensor reported a fault", ExitCode::Device },
	{ 3006, "the scanner's lamp or light sensor reported a fault", ExitCode::Device },
	{ 3101, "the scanner reported a device fault", ExitCode::Device },
	{ 64001, "the scanner reported a device fault", ExitCode::Device },
	{ 64002, "the scanner reported a device fault", ExitCode::Device },
	{ 64003, "the scanner reported a device fault", ExitCode::Device },
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
