// SPDX-License-Identifier: MIT
// Finding the scanner and running its scan cycle through the model's DLL.

#include "twain/scanner_link.h"

#include <cstring>

#include <windows.h>

namespace torvane::twain {

namespace {

// The models of the supported scanners, tried in this order for discovery.
constexpr const char *kModels[] = { "RM735", "RM736", "RM737", "RM740", "RM745", "RM750", "KT910",
				    "KT912", "KT918", "KT920", "KT925", "KT930", "KT940", "KT950" };

bool exists(const std::string &path)
{
	return ::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

client::Outcome noScanner()
{
	return client::Outcome{ false, TORVANE_ERROR_NO_SCANNER };
}

} // namespace

client::Outcome ScannerLink::open(const std::string &folder)
{
	close();
	std::string error;
	// Any model's DLL finds every supported scanner; the scanner's product
	// name then says which model's DLL drives it.
	std::unique_ptr<client::DriverLibrary> discovery;
	for (const char *model : kModels) {
		const std::vector<std::string> list = client::dllSearchList(model, folder);
		if (!list.empty() && exists(list.front())) {
			discovery = client::DriverLibrary::load(list, &error);
			if (discovery)
				break;
		}
	}
	if (!discovery)
		return noScanner();
	client::DriverSession finder(*discovery);
	if (const client::Opening opening = finder.openScanner(&ability_, &abilityEx_, false); !opening)
		return opening.outcome;
	const std::string product(ability_.ProductName, strnlen(ability_.ProductName, sizeof(ability_.ProductName)));
	if (client::libraryModel(discovery->path()) == product) {
		library_ = std::move(discovery);
	} else {
		library_ = client::DriverLibrary::load(client::dllSearchList(product, folder), &error);
		if (!library_)
			return noScanner();
	}
	session_ = std::make_unique<client::DriverSession>(*library_);
	const client::Opening opening = session_->openScanner(&ability_, &abilityEx_, true);
	if (!opening) {
		close();
		return opening.outcome;
	}
	model_ = product;
	return {};
}

void ScannerLink::close()
{
	if (scanning_)
		stopScan(true);
	batch_.reset();
	if (library_)
		library_->api().TerminateDriver();
	session_.reset();
	library_.reset();
}

void ScannerLink::setToneCurve(const unsigned char table[256])
{
	std::memcpy(curve_, table, sizeof(curve_));
	customCurve_ = true;
}

void ScannerLink::resetToneCurve()
{
	customCurve_ = false;
}

client::Outcome ScannerLink::startScan(const client::ScanWindow &window)
{
	if (!session_)
		return noScanner();
	if (const client::Outcome set = session_->setUp(window.parameter); !set)
		return set;
	unsigned char curve[256];
	if (customCurve_)
		std::memcpy(curve, curve_, sizeof(curve));
	else
		client::buildGammaTable(1.0, curve);
	if (const client::Outcome toned = session_->sendToneCurve(curve, window.scannedInColour); !toned) {
		session_->stop();
		library_->takeLastError();
		return toned;
	}
	const client::Outcome started = session_->start();
	scanning_ = started.ok;
	return started;
}

void ScannerLink::beginBatch(uint32_t pages, uint8_t doubleFeedSensor)
{
	if (session_)
		batch_ = std::make_unique<client::BatchSequence>(*session_, client::BatchRequest{ pages, doubleFeedSensor });
}

client::PageStart ScannerLink::startPage(const client::ScanWindow &window, client::Outcome *failure)
{
	if (!batch_) {
		*failure = noScanner();
		return client::PageStart::Failed;
	}
	// The tone curve first, as every stack's pages take it: the batch's
	// page start is SetScanParameter and StartScan in one.
	unsigned char curve[256];
	if (customCurve_)
		std::memcpy(curve, curve_, sizeof(curve));
	else
		client::buildGammaTable(1.0, curve);
	if (const client::Outcome toned = session_->sendToneCurve(curve, window.scannedInColour); !toned) {
		*failure = toned;
		return client::PageStart::Failed;
	}
	const client::PageStart started = batch_->startPage(window.parameter, failure);
	scanning_ = started == client::PageStart::Started;
	return started;
}

void ScannerLink::pageDone()
{
	if (batch_)
		batch_->pageDone();
}

client::Outcome ScannerLink::read(uint8_t *buffer, uint32_t length)
{
	return session_->read(buffer, length);
}

client::Outcome ScannerLink::stopScan(bool cancel)
{
	if (!scanning_)
		return {};
	scanning_ = false;
	if (cancel)
		library_->api().DoCancel();
	const client::Outcome stopped = session_->stop();
	// A cancelled scan ends with 159: that is what was asked for.
	if (cancel && !stopped.ok && stopped.error == TORVANE_ERROR_CANCELLED)
		return {};
	return stopped;
}

} // namespace torvane::twain
