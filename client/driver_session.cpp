// SPDX-License-Identifier: MIT
// The driver's exports in the order a front end calls them, each step giving
// success or the driver's error code; shared by torvane-scan and the SANE backend.

#include "client/driver_session.h"

#include <cstring>

namespace torvane::client {

Outcome DriverSession::findScanner()
{
	return api_.InitializeDriver() ? Outcome{} : failed();
}

Outcome DriverSession::readAbilities(ScannerAbility *basic, ScannerAbilityEx *extended)
{
	if (!api_.GetScannerAbility(basic) || !api_.GetScannerAbilityEx(extended))
		return failed();
	return {};
}

Outcome DriverSession::checkModel()
{
	return api_.InitializeScanner() ? Outcome{} : failed();
}

Opening DriverSession::openScanner(ScannerAbility *basic, ScannerAbilityEx *extended, bool checkModelToo)
{
	if (const Outcome found = findScanner(); !found)
		return Opening{ OpenStep::FindScanner, found };
	if (const Outcome read = readAbilities(basic, extended); !read)
		return Opening{ OpenStep::ReadAbilities, read };
	if (!checkModelToo)
		return {};
	if (const Outcome checked = checkModel(); !checked)
		return Opening{ OpenStep::CheckModel, checked };
	return {};
}

Outcome DriverSession::sendToneCurve(const unsigned char table[256], bool scannedInColour)
{
	const unsigned char first = scannedInColour ? 1 : 0;
	const unsigned char last = scannedInColour ? 3 : 0;
	for (unsigned char channel = first; channel <= last; ++channel)
		if (!api_.SetGammaTable(table, channel))
			return failed();
	return {};
}

Outcome DriverSession::setUp(const ScanParameter &parameter)
{
	if (api_.SetScanParameter(&parameter))
		return {};
	const Outcome failure = failed();
	if (failure.error != TORVANE_ERROR_BUSY) {
		api_.StopScan();
		library_.takeLastError();
	}
	return failure;
}

Outcome DriverSession::start()
{
	if (api_.StartScan())
		return {};
	const Outcome failure = failed();
	api_.StopScan();
	library_.takeLastError();
	return failure;
}

Outcome DriverSession::read(uint8_t *buffer, uint32_t length)
{
	return api_.ReadScan(nullptr, buffer, length) ? Outcome{} : failed();
}

Outcome DriverSession::stop()
{
	return api_.StopScan() ? Outcome{} : failed();
}

std::string productText(const ScannerAbilityEx &extended)
{
	std::string text(extended.Product, strnlen(extended.Product, sizeof(extended.Product)));
	while (!text.empty() && text.back() == ' ')
		text.pop_back();
	return text;
}

std::string foundScannerModel(const DriverLibrary &library)
{
	DriverSession session(library);
	ScannerAbility basic{};
	ScannerAbilityEx extended{};
	const bool found = static_cast<bool>(session.openScanner(&basic, &extended, false));
	library.api().TerminateDriver();
	library.takeLastError();
	const std::string model = found ? productText(extended) : "";
	// It becomes a file name.
	if (model.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789") != std::string::npos)
		return "";
	return model;
}

} // namespace torvane::client
