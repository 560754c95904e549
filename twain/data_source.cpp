// SPDX-License-Identifier: MIT
// The data source's states and triplets: control, negotiation, transfers.

#include "twain/data_source.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "twain/condition_codes.h"
#include "twain/g4_encoder.h"
#include "twain/image_layout.h"
#include "twain/png_file.h"

namespace torvane::twain {

namespace {

constexpr uint32_t kReadPiece = 1u << 20;	// ReadScan in pieces of 1 MiB
constexpr uint32_t kPreferredStrip = 64u << 10; // a memory strip the application may take
// The ultrasonic sensor's strength when the application turns it on: the
// middle of its range (TWAIN's sensitivity is not offered).
constexpr uint8_t kDoubleFeedSensorStrength = 128;

void copyText(char *to, size_t size, const char *text)
{
	std::memset(to, 0, size);
	std::strncpy(to, text, size - 1);
}

// The words of a condition code for DAT_STATUSUTF8.
const char *conditionText(TW_UINT16 code)
{
	switch (code) {
	case TWCC_SUCCESS:
		return "No failure";
	case TWCC_LOWMEMORY:
		return "Not enough memory";
	case TWCC_OPERATIONERROR:
		return "The scanner could not complete the operation";
	case TWCC_BADPROTOCOL:
		return "The source does not support this operation";
	case TWCC_BADVALUE:
		return "A value is out of range";
	case TWCC_SEQERROR:
		return "The operation is not allowed in the current state";
	case TWCC_CAPUNSUPPORTED:
		return "The capability is not supported";
	case TWCC_CAPBADOPERATION:
		return "The capability does not support this operation";
	case TWCC_CAPSEQERROR:
		return "The capability cannot be set in the current state";
	case TWCC_DENIED:
		return "The scanner is busy with another scan";
	case TWCC_FILEWRITEERROR:
		return "The image file could not be written";
	case TWCC_CHECKDEVICEONLINE:
		return "The scanner is not connected or not switched on";
	default:
		return "The operation failed";
	}
}

} // namespace

TW_UINT16 DataSource::fail(TW_UINT16 conditionCode)
{
	conditionCode_ = conditionCode;
	return TWRC_FAILURE;
}

TW_UINT16 DataSource::failDriver(int32_t driverError)
{
	// A fed sheet's failure was an event when it happened.
	if (!fedFailureReported_)
		reportDeviceEvent(driverError);
	fedFailureReported_ = false;
	return fail(conditionCodeOf(driverError));
}

void DataSource::reportDeviceEvent(int32_t driverError)
{
	const TW_UINT16 happened = deviceEventOf(driverError);
	if (!inStates(4, 7) || happened == kNoDeviceEvent || !caps_.reports(happened))
		return;
	TW_DEVICEEVENT event{};
	event.Event = happened;
	copyText(event.DeviceName, sizeof(event.DeviceName), link_.model().c_str());
	deviceEvents_.push_back(event);
	signal(MSG_DEVICEEVENT);
}

TW_UINT16 DataSource::deviceEvent(TW_DEVICEEVENT *data)
{
	if (!inStates(4, 7) || deviceEvents_.empty())
		return fail(TWCC_SEQERROR);
	*data = deviceEvents_.front();
	deviceEvents_.pop_front();
	return TWRC_SUCCESS;
}

TW_UINT16 DataSource::answer(const CapResult &result)
{
	if (result.rc == TWRC_FAILURE)
		return fail(result.cc);
	return result.rc;
}

TW_UINT16 DataSource::entry(TW_IDENTITY *origin, TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data)
{
	// Status is asked about the failure before it, not about itself.
	if (dg == DG_CONTROL && (dat == DAT_STATUS || dat == DAT_STATUSUTF8))
		return status(dat, data);
	// Every triplet but these carries a record.
	const bool takesNoData = dat == DAT_NULL || dat == DAT_IMAGEFILEXFER || (dat == DAT_PENDINGXFERS && msg == MSG_STOPFEEDER);
	if (!data && !takesNoData)
		return fail(TWCC_BADVALUE);
	conditionCode_ = TWCC_SUCCESS;
	if (dg == DG_CONTROL)
		return control(origin, dat, msg, data);
	if (dg == DG_IMAGE)
		return image(dat, msg, data);
	return fail(TWCC_BADPROTOCOL);
}

TW_UINT16 DataSource::control(TW_IDENTITY *origin, TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data)
{
	switch (dat) {
	case DAT_IDENTITY:
		return identity(origin, msg, static_cast<TW_IDENTITY *>(data));
	case DAT_ENTRYPOINT: {
		auto *entry = static_cast<TW_ENTRYPOINT *>(data);
		if (msg == MSG_SET) {
			if (state_ != 3)
				return fail(TWCC_SEQERROR);
			if (entry->Size < sizeof(TW_ENTRYPOINT) || !entry->DSM_Entry)
				return fail(TWCC_BADVALUE);
			manager_ = *entry;
			hasManagerEntry_ = true;
			memory_.useManager(&manager_);
			return TWRC_SUCCESS;
		}
		if (msg == MSG_GET) {
			if (!hasManagerEntry_)
				return fail(TWCC_SEQERROR);
			*entry = manager_;
			return TWRC_SUCCESS;
		}
		return fail(TWCC_BADPROTOCOL);
	}
	case DAT_CALLBACK:
	case DAT_CALLBACK2:
		// The manager keeps the application's callback; the source only
		// signals through DAT_NULL.
		if (msg != MSG_REGISTER_CALLBACK)
			return fail(TWCC_BADPROTOCOL);
		return state_ == 4 ? TWRC_SUCCESS : fail(TWCC_SEQERROR);
	case DAT_CAPABILITY:
		return capability(msg, static_cast<TW_CAPABILITY *>(data));
	case DAT_USERINTERFACE:
		return userInterface(msg, static_cast<TW_USERINTERFACE *>(data));
	case DAT_EVENT:
		if (msg != MSG_PROCESSEVENT)
			return fail(TWCC_BADPROTOCOL);
		return event(static_cast<TW_EVENT *>(data));
	case DAT_DEVICEEVENT:
		if (msg != MSG_GET)
			return fail(TWCC_BADPROTOCOL);
		return deviceEvent(static_cast<TW_DEVICEEVENT *>(data));
	case DAT_PENDINGXFERS:
		return pendingTransfers(msg, static_cast<TW_PENDINGXFERS *>(data));
	case DAT_SETUPMEMXFER:
		if (msg != MSG_GET)
			return fail(TWCC_BADPROTOCOL);
		return setupMemory(static_cast<TW_SETUPMEMXFER *>(data));
	case DAT_SETUPFILEXFER:
		return setupFile(msg, static_cast<TW_SETUPFILEXFER *>(data));
	case DAT_XFERGROUP: {
		auto *group = static_cast<TW_UINT32 *>(data);
		if (msg == MSG_GET) {
			if (!inStates(4, 6))
				return fail(TWCC_SEQERROR);
			*group = DG_IMAGE;
			return TWRC_SUCCESS;
		}
		if (msg == MSG_SET) {
			if (state_ != 6)
				return fail(TWCC_SEQERROR);
			return *group == DG_IMAGE ? TWRC_SUCCESS : fail(TWCC_BADVALUE);
		}
		return fail(TWCC_BADPROTOCOL);
	}
	default:
		return fail(TWCC_BADPROTOCOL);
	}
}

TW_UINT16 DataSource::image(TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data)
{
	switch (dat) {
	case DAT_IMAGEINFO:
		if (msg != MSG_GET)
			return fail(TWCC_BADPROTOCOL);
		return imageInfo(static_cast<TW_IMAGEINFO *>(data));
	case DAT_IMAGELAYOUT:
		return imageLayout(msg, static_cast<TW_IMAGELAYOUT *>(data));
	case DAT_IMAGENATIVEXFER:
		if (msg != MSG_GET)
			return fail(TWCC_BADPROTOCOL);
		return nativeTransfer(static_cast<TW_HANDLE *>(data));
	case DAT_IMAGEMEMXFER:
		if (msg != MSG_GET)
			return fail(TWCC_BADPROTOCOL);
		return memoryTransfer(static_cast<TW_IMAGEMEMXFER *>(data));
	case DAT_IMAGEFILEXFER:
		if (msg != MSG_GET)
			return fail(TWCC_BADPROTOCOL);
		return fileTransfer();
	case DAT_GRAYRESPONSE:
	case DAT_RGBRESPONSE:
		return response(dat, msg, static_cast<const TW_GRAYRESPONSE *>(data));
	default:
		return fail(TWCC_BADPROTOCOL);
	}
}

TW_UINT16 DataSource::identity(TW_IDENTITY *origin, TW_UINT16 msg, TW_IDENTITY *data)
{
	switch (msg) {
	case MSG_GET: {
		const TW_UINT32 id = data->Id; // the manager's number for us
		std::memset(data, 0, sizeof(*data));
		data->Id = id;
		data->Version.MajorNum = 1;
		data->Version.MinorNum = 0;
		data->Version.Language = TWLG_ENGLISH_USA;
		data->Version.Country = TWCY_USA;
		copyText(data->Version.Info, sizeof(data->Version.Info), "1.0.0");
		data->ProtocolMajor = TWON_PROTOCOLMAJOR;
		data->ProtocolMinor = TWON_PROTOCOLMINOR;
		data->SupportedGroups = DG_CONTROL | DG_IMAGE | DF_DS2;
		copyText(data->Manufacturer, sizeof(data->Manufacturer), "Torvane");
		copyText(data->ProductFamily, sizeof(data->ProductFamily), "Torvane document scanners");
		copyText(data->ProductName, sizeof(data->ProductName), "Torvane Scanner");
		return TWRC_SUCCESS;
	}
	case MSG_OPENDS: {
		if (state_ != 3)
			return fail(TWCC_SEQERROR);
		if (const client::Outcome opened = link_.open(folder_); !opened)
			return failDriver(opened.error);
		own_ = *data;
		if (origin)
			application_ = *origin;
		caps_.describe(link_.ability());
		link_.resetToneCurve();
		state_ = 4;
		return TWRC_SUCCESS;
	}
	case MSG_CLOSEDS:
		if (state_ != 4)
			return fail(TWCC_SEQERROR);
		link_.close();
		deviceEvents_.clear();
		state_ = 3;
		hasManagerEntry_ = false;
		memory_.useManager(nullptr);
		return TWRC_SUCCESS;
	default:
		return fail(TWCC_BADPROTOCOL);
	}
}

TW_UINT16 DataSource::capability(TW_UINT16 msg, TW_CAPABILITY *data)
{
	if (!inStates(4, 7))
		return fail(TWCC_SEQERROR);
	if (msg == MSG_RESETALL) {
		if (state_ != 4)
			return fail(TWCC_CAPSEQERROR);
		caps_.resetAll();
		return TWRC_SUCCESS;
	}
	return answer(caps_.handle(msg, *data, memory_, state_ == 4));
}

bool DataSource::planImage()
{
	const client::WindowResult planned = client::planWindow(caps_.windowRequest());
	if (!planned.error.empty())
		return false;
	window_ = planned.window;
	return true;
}

TW_UINT16 DataSource::userInterface(TW_UINT16 msg, TW_USERINTERFACE *data)
{
	switch (msg) {
	case MSG_ENABLEDS:
	case MSG_ENABLEDSUIONLY: {
		if (state_ != 4)
			return fail(TWCC_SEQERROR);
		settingsOnly_ = msg == MSG_ENABLEDSUIONLY;
		const bool showUI = settingsOnly_ || data->ShowUI;
		if (!planImage())
			return fail(TWCC_BADVALUE);
		if (showUI) {
			auto handler = [this](DialogAction action, const DialogChoices &choices) {
				std::lock_guard<std::recursive_mutex> guard(mutex_);
				onDialog(action, choices);
			};
			const bool opened =
				dialog_.open(static_cast<HWND>(data->hParent), dialogChoices(),
					     caps_.allowedValues(ICAP_XRESOLUTION), caps_.allowedValues(ICAP_SUPPORTEDSIZES),
					     settingsOnly_, handler);
			if (opened) {
				state_ = 5;
				return TWRC_SUCCESS;
			}
			// No window can be made (no display): only the settings would
			// need one; a scan goes on without.
			if (settingsOnly_)
				return fail(TWCC_OPERATIONERROR);
		}
		beginTransfers();
		signal(MSG_XFERREADY);
		return TWRC_SUCCESS;
	}
	case MSG_DISABLEDS:
		if (state_ != 5)
			return fail(TWCC_SEQERROR);
		dialog_.close();
		state_ = 4;
		pendingEvent_ = MSG_NULL;
		return TWRC_SUCCESS;
	default:
		return fail(TWCC_BADPROTOCOL);
	}
}

DialogChoices DataSource::dialogChoices() const
{
	DialogChoices choices;
	choices.pixelType = caps_.pixelType();
	choices.reduction = static_cast<TW_UINT16>(caps_.value(ICAP_BITDEPTHREDUCTION));
	choices.dpi = caps_.value(ICAP_XRESOLUTION);
	choices.paperSize = static_cast<TW_UINT16>(caps_.value(ICAP_SUPPORTEDSIZES));
	choices.filter = static_cast<TW_UINT16>(caps_.value(ICAP_FILTER));
	choices.halftone = static_cast<uint32_t>(caps_.value(ICAP_HALFTONES));
	return choices;
}

void DataSource::applyChoices(const DialogChoices &choices)
{
	caps_.choose(ICAP_PIXELTYPE, choices.pixelType);
	caps_.choose(ICAP_BITDEPTHREDUCTION, choices.reduction);
	caps_.choose(ICAP_XRESOLUTION, choices.dpi);
	// A paper size chosen replaces the frame; "whole area" keeps the
	// application's frame.
	if (choices.paperSize != TWSS_NONE)
		caps_.choose(ICAP_SUPPORTEDSIZES, choices.paperSize);
	caps_.choose(ICAP_FILTER, choices.filter);
	caps_.choose(ICAP_HALFTONES, choices.halftone);
}

void DataSource::onDialog(DialogAction action, const DialogChoices &choices)
{
	if (state_ != 5)
		return; // a transfer is under way: its end re-enables the buttons
	switch (action) {
	case DialogAction::Scan:
		applyChoices(choices);
		if (settingsOnly_) {
			signal(MSG_CLOSEDSOK);
			return;
		}
		if (!planImage())
			return;
		dialog_.setBusy(true);
		beginTransfers();
		signal(MSG_XFERREADY);
		return;
	case DialogAction::Preview:
		previewScan();
		return;
	case DialogAction::Cancel:
		signal(MSG_CLOSEDSREQ);
		return;
	}
}

void DataSource::previewScan()
{
	// The whole area in grey at a low resolution, as the dialog's settings
	// of filter say; the scan cycle is this thread's, as every other.
	client::WindowRequest request = caps_.windowRequest();
	request.mode = client::ScanMode::Grey;
	request.dpi = 50;
	request.left = request.top = 0;
	request.width = static_cast<uint32_t>(caps_.value(ICAP_PHYSICALWIDTH) * 300 + 0.5);
	request.length = static_cast<uint32_t>(caps_.value(ICAP_PHYSICALHEIGHT) * 300 + 0.5);
	const client::WindowResult planned = client::planWindow(request);
	if (!planned.error.empty())
		return;
	const client::ScanWindow kept = window_;
	window_ = planned.window;
	dialog_.setBusy(true);
	if (scanWholeImage()) {
		const ImageShape shape = ImageShape{ window_.pixels, window_.lines, window_.bitsPerPixel,
						     window_.bytesPerLine, window_.parameter.XRes };
		std::vector<uint8_t> dib(dibSize(shape));
		writeDib(shape, image_.data(), dib.data());
		dialog_.showPreview(std::move(dib));
	}
	image_.clear();
	dialog_.setBusy(false);
	window_ = kept;
}

void DataSource::showProgress(uint64_t done, uint64_t total)
{
	if (caps_.value(CAP_INDICATORS) != 0)
		dialog_.setProgress(done, total);
}

void DataSource::signal(TW_UINT16 msg)
{
	DSMENTRYPROC manager = hasManagerEntry_ ? manager_.DSM_Entry : nullptr;
	if (!manager) {
		// A TWAIN 1.x manager sends no entry point: its DSM_Entry is that of
		// the manager DLL that loaded us.
		for (const char *name : { "twain_32.dll", "TWAINDSM.dll" })
			if (HMODULE module = ::GetModuleHandleA(name); module && !manager)
				manager = reinterpret_cast<DSMENTRYPROC>(
					reinterpret_cast<void *>(::GetProcAddress(module, "DSM_Entry")));
	}
	if (manager && manager(&own_, &application_, DG_CONTROL, DAT_NULL, msg, nullptr) == TWRC_SUCCESS)
		return;
	pendingEvent_ = msg;
}

TW_UINT16 DataSource::event(TW_EVENT *data)
{
	if (!inStates(5, 7))
		return fail(TWCC_SEQERROR);
	if (dialog_.handleMessage(static_cast<MSG *>(data->pEvent))) {
		data->TWMessage = pendingEvent_;
		pendingEvent_ = MSG_NULL;
		return TWRC_DSEVENT;
	}
	if (pendingEvent_ != MSG_NULL) {
		data->TWMessage = pendingEvent_;
		pendingEvent_ = MSG_NULL;
		return TWRC_DSEVENT;
	}
	data->TWMessage = MSG_NULL;
	return TWRC_NOTDSEVENT;
}

void DataSource::beginTransfers()
{
	// A flatbed holds one page: "all pages" is that one.
	pending_ = caps_.transferCount() == -1 && !caps_.sheetFed() ? 1 : caps_.transferCount();
	fedFailure_ = {};
	// More than one page from the feeder is a stack: page after page until
	// the count or the feeder's end. The double-feed sensor is a stack's.
	if (caps_.sheetFed() && (pending_ != 1 || caps_.doubleFeedSensorOn()))
		link_.beginBatch(pending_ == -1 ? 0 : static_cast<uint32_t>(pending_),
				 caps_.doubleFeedSensorOn() ? kDoubleFeedSensorStrength : 0);
	state_ = 6;
}

client::Outcome DataSource::openPageScan()
{
	if (link_.scanning())
		return {};
	if (!fedFailure_) {
		const client::Outcome failure = fedFailure_;
		fedFailure_ = {};
		fedFailureReported_ = true;
		return failure;
	}
	if (!link_.inBatch())
		return link_.startScan(window_);
	client::Outcome failure;
	const client::PageStart started = link_.startPage(window_, &failure);
	if (started == client::PageStart::StackDone)
		return client::Outcome{ false, TORVANE_ERROR_FEEDER_EMPTY };
	caps_.setFeederLoaded(started == client::PageStart::Started);
	return started == client::PageStart::Started ? client::Outcome{} : failure;
}

bool DataSource::feedNextPage()
{
	client::Outcome failure;
	const client::PageStart started = link_.startPage(window_, &failure);
	caps_.setFeederLoaded(started == client::PageStart::Started);
	if (started == client::PageStart::StackDone)
		return false;
	if (started == client::PageStart::Failed) {
		// Told at the next transfer, which is where TWAIN reports a jam;
		// the event now.
		fedFailure_ = failure;
		reportDeviceEvent(failure.error);
	}
	return true;
}

int DataSource::endTransfer(bool cancelled)
{
	const bool pageTaken = state_ == 7;
	if (link_.scanning())
		link_.stopScan(true);
	image_.clear();
	rowsDone_ = 0;
	if (pageTaken && !cancelled)
		link_.pageDone();
	if (cancelled)
		pending_ = 0;
	else if (pending_ > 0)
		--pending_;
	if (pending_ != 0 && planImage() && (!link_.inBatch() || feedNextPage())) {
		state_ = 6;
	} else {
		pending_ = 0;
		fedFailure_ = {};
		link_.endBatch();
		state_ = 5;
		if (dialog_.isOpen()) {
			// The pages asked for are there: the application may close us.
			dialog_.setBusy(false);
			signal(MSG_CLOSEDSREQ);
		}
	}
	return pending_;
}

TW_UINT16 DataSource::pendingTransfers(TW_UINT16 msg, TW_PENDINGXFERS *data)
{
	switch (msg) {
	case MSG_GET:
		if (!inStates(4, 7))
			return fail(TWCC_SEQERROR);
		data->Count = static_cast<TW_UINT16>(inStates(6, 7) ? pending_ : 0);
		data->EOJ = 0;
		return TWRC_SUCCESS;
	case MSG_ENDXFER:
		if (!inStates(6, 7))
			return fail(TWCC_SEQERROR);
		data->Count = static_cast<TW_UINT16>(endTransfer(false));
		data->EOJ = 0;
		return TWRC_SUCCESS;
	case MSG_RESET:
		if (state_ != 6)
			return fail(TWCC_SEQERROR);
		data->Count = static_cast<TW_UINT16>(endTransfer(true));
		data->EOJ = 0;
		return TWRC_SUCCESS;
	case MSG_STOPFEEDER:
		if (state_ != 6)
			return fail(TWCC_SEQERROR);
		if (!caps_.sheetFed())
			return fail(TWCC_BADPROTOCOL);
		// The page ready now is still transferred; no other is fed.
		pending_ = 1;
		if (data) {
			data->Count = 1;
			data->EOJ = 0;
		}
		return TWRC_SUCCESS;
	default:
		return fail(TWCC_BADPROTOCOL);
	}
}

TW_UINT16 DataSource::status(TW_UINT16 dat, TW_MEMREF data)
{
	if (!data)
		return fail(TWCC_BADVALUE);
	if (dat == DAT_STATUS) {
		auto *status = static_cast<TW_STATUS *>(data);
		status->ConditionCode = conditionCode_;
		status->Data = 0;
		conditionCode_ = TWCC_SUCCESS;
		return TWRC_SUCCESS;
	}
	auto *status = static_cast<TW_STATUSUTF8 *>(data);
	const char *text = conditionText(status->Status.ConditionCode);
	const TW_UINT32 size = static_cast<TW_UINT32>(std::strlen(text) + 1);
	TW_HANDLE handle = memory_.allocate(size);
	void *at = handle ? memory_.lock(handle) : nullptr;
	if (!at) {
		memory_.release(handle);
		conditionCode_ = TWCC_LOWMEMORY;
		return TWRC_FAILURE;
	}
	std::memcpy(at, text, size);
	memory_.unlock(handle);
	status->Size = size;
	status->UTF8string = handle;
	return TWRC_SUCCESS;
}

TW_UINT16 DataSource::imageLayout(TW_UINT16 msg, TW_IMAGELAYOUT *data)
{
	switch (msg) {
	case MSG_GET:
	case MSG_GETCURRENT:
		if (!inStates(4, 6))
			return fail(TWCC_SEQERROR);
		*data = caps_.layout();
		return TWRC_SUCCESS;
	case MSG_GETDEFAULT:
		if (!inStates(4, 6))
			return fail(TWCC_SEQERROR);
		*data = caps_.defaultLayout();
		return TWRC_SUCCESS;
	case MSG_SET:
		if (state_ != 4)
			return fail(TWCC_SEQERROR);
		return answer(caps_.setLayout(*data));
	case MSG_RESET:
		if (state_ != 4)
			return fail(TWCC_SEQERROR);
		caps_.resetLayout();
		*data = caps_.layout();
		return TWRC_SUCCESS;
	default:
		return fail(TWCC_BADPROTOCOL);
	}
}

TW_UINT16 DataSource::imageInfo(TW_IMAGEINFO *data)
{
	if (!inStates(6, 7))
		return fail(TWCC_SEQERROR);
	std::memset(data, 0, sizeof(*data));
	data->XResolution.Whole = data->YResolution.Whole = static_cast<TW_INT16>(window_.parameter.XRes);
	data->ImageWidth = static_cast<TW_INT32>(window_.pixels);
	data->ImageLength = static_cast<TW_INT32>(window_.lines);
	const bool colour = window_.bitsPerPixel == 24;
	data->SamplesPerPixel = colour ? 3 : 1;
	for (int i = 0; i < data->SamplesPerPixel; ++i)
		data->BitsPerSample[i] = static_cast<TW_INT16>(colour ? 8 : window_.bitsPerPixel);
	data->BitsPerPixel = static_cast<TW_INT16>(window_.bitsPerPixel);
	data->Planar = 0;
	data->PixelType = static_cast<TW_INT16>(caps_.pixelType());
	data->Compression = caps_.codedInGroup4() ? TWCP_GROUP4 : TWCP_NONE;
	return TWRC_SUCCESS;
}

TW_UINT16 DataSource::setupMemory(TW_SETUPMEMXFER *data)
{
	if (!inStates(4, 6))
		return fail(TWCC_SEQERROR);
	client::ScanWindow window = window_;
	if (state_ == 4) {
		const client::WindowResult planned = client::planWindow(caps_.windowRequest());
		if (!planned.error.empty())
			return fail(TWCC_BADVALUE);
		window = planned.window;
	}
	const uint32_t row = memoryRowBytes(window);
	data->MinBufSize = row;
	data->Preferred = std::max(row, kPreferredStrip / row * row);
	data->MaxBufSize = std::max(data->Preferred, row * window.lines);
	return TWRC_SUCCESS;
}

TW_UINT16 DataSource::setupFile(TW_UINT16 msg, TW_SETUPFILEXFER *data)
{
	switch (msg) {
	case MSG_GET:
	case MSG_GETDEFAULT:
		if (!inStates(4, 6))
			return fail(TWCC_SEQERROR);
		std::memset(data, 0, sizeof(*data));
		copyText(data->FileName, sizeof(data->FileName), msg == MSG_GET ? fileName_.c_str() : "TWAIN.BMP");
		data->Format = msg == MSG_GET ? caps_.fileFormat() : TWFF_BMP;
		return TWRC_SUCCESS;
	case MSG_SET:
		if (!inStates(4, 6))
			return fail(TWCC_SEQERROR);
		if (!data->FileName[0] || !std::memchr(data->FileName, '\0', sizeof(data->FileName)))
			return fail(TWCC_BADVALUE);
		// The format is ICAP_IMAGEFILEFORMAT's (BMP, TIFF or PNG).
		if (!caps_.choose(ICAP_IMAGEFILEFORMAT, data->Format))
			return fail(TWCC_BADVALUE);
		fileName_ = data->FileName;
		return TWRC_SUCCESS;
	case MSG_RESET:
		if (state_ != 4)
			return fail(TWCC_SEQERROR);
		fileName_ = "TWAIN.BMP";
		caps_.choose(ICAP_IMAGEFILEFORMAT, TWFF_BMP);
		return setupFile(MSG_GET, data);
	default:
		return fail(TWCC_BADPROTOCOL);
	}
}

TW_UINT16 DataSource::response(TW_UINT16 dat, TW_UINT16 msg, const TW_GRAYRESPONSE *data)
{
	if (state_ != 4)
		return fail(TWCC_SEQERROR);
	const TW_UINT16 wanted = dat == DAT_GRAYRESPONSE ? TWPT_GRAY : TWPT_RGB;
	if (caps_.pixelType() != wanted)
		return fail(TWCC_SEQERROR);
	if (msg == MSG_RESET) {
		link_.resetToneCurve();
		return TWRC_SUCCESS;
	}
	if (msg != MSG_SET)
		return fail(TWCC_BADPROTOCOL);
	// One curve for all channels: the first channel's of each element.
	unsigned char curve[256];
	for (int i = 0; i < 256; ++i)
		curve[i] = data->Response[i].Channel1;
	link_.setToneCurve(curve);
	return TWRC_SUCCESS;
}

client::Outcome DataSource::scanWholeImage()
{
	const uint32_t bytes = window_.bytesPerLine * window_.lines;
	image_.assign(bytes, 0);
	if (const client::Outcome started = openPageScan(); !started)
		return started;
	for (uint32_t done = 0; done < bytes;) {
		const uint32_t piece = std::min(kReadPiece, bytes - done);
		if (const client::Outcome read = link_.read(image_.data() + done, piece); !read) {
			link_.stopScan(true);
			return read;
		}
		done += piece;
		showProgress(done, bytes);
	}
	return link_.stopScan(false);
}

namespace {

ImageShape shapeOf(const client::ScanWindow &window)
{
	return ImageShape{ window.pixels, window.lines, window.bitsPerPixel, window.bytesPerLine,
			   window.parameter.XRes };
}

} // namespace

TW_UINT16 DataSource::nativeTransfer(TW_HANDLE *data)
{
	if (state_ != 6 || caps_.transferMechanism() != TWSX_NATIVE)
		return fail(TWCC_SEQERROR);
	if (const client::Outcome scanned = scanWholeImage(); !scanned)
		return failDriver(scanned.error);
	const ImageShape shape = shapeOf(window_);
	TW_HANDLE handle = memory_.allocate(dibSize(shape));
	auto *at = static_cast<uint8_t *>(handle ? memory_.lock(handle) : nullptr);
	if (!at) {
		memory_.release(handle);
		return fail(TWCC_LOWMEMORY);
	}
	writeDib(shape, image_.data(), at);
	memory_.unlock(handle);
	image_.clear();
	*data = handle;
	state_ = 7;
	return TWRC_XFERDONE;
}

std::vector<uint8_t> DataSource::imageFile() const
{
	const ImageShape shape = shapeOf(window_);
	switch (caps_.fileFormat()) {
	case TWFF_TIFF:
		return caps_.codedInGroup4() ? tiffG4File(shape, image_.data()) : tiffFile(shape, image_.data());
	case TWFF_PNG:
		return pngFile(shape, image_.data());
	default:
		return bmpFile(shape, image_.data());
	}
}

uint32_t DataSource::memoryRowBytes(const client::ScanWindow &window) const
{
	// A coded row may take more than its bytes: a strip holds at least one
	// and the end-of-block mark.
	return caps_.codedInGroup4() ? static_cast<uint32_t>(G4Encoder::worstRowBytes(window.pixels) + G4Encoder::kEndBytes)
				     : window.bytesPerLine;
}

TW_UINT16 DataSource::fileTransfer()
{
	if (state_ != 6 || caps_.transferMechanism() != TWSX_FILE)
		return fail(TWCC_SEQERROR);
	if (const client::Outcome scanned = scanWholeImage(); !scanned)
		return failDriver(scanned.error);
	const std::vector<uint8_t> file = imageFile();
	image_.clear();
	if (file.empty())
		return fail(TWCC_LOWMEMORY);
	FILE *out = std::fopen(fileName_.c_str(), "wb");
	const bool written = out && std::fwrite(file.data(), 1, file.size(), out) == file.size();
	if (out && std::fclose(out) != 0)
		return fail(TWCC_FILEWRITEERROR);
	if (!written)
		return fail(TWCC_FILEWRITEERROR);
	state_ = 7;
	return TWRC_XFERDONE;
}

TW_UINT16 DataSource::memoryTransfer(TW_IMAGEMEMXFER *data)
{
	if (!inStates(6, 7) || caps_.transferMechanism() != TWSX_MEMORY)
		return fail(TWCC_SEQERROR);
	if (!data->Memory.TheMem || data->Memory.Length < memoryRowBytes(window_))
		return fail(TWCC_BADVALUE);
	const bool isHandle = (data->Memory.Flags & TWMF_HANDLE) != 0;
	auto *buffer = static_cast<uint8_t *>(isHandle ? memory_.lock(data->Memory.TheMem) : data->Memory.TheMem);
	if (!buffer)
		return fail(TWCC_BADVALUE);
	const TW_UINT16 rc = caps_.codedInGroup4() ? codedStrip(buffer, data) : plainStrip(buffer, data);
	if (isHandle)
		memory_.unlock(data->Memory.TheMem);
	if (rc == TWRC_FAILURE)
		return rc;
	data->BytesPerRow = window_.bytesPerLine;
	data->Columns = window_.pixels;
	data->XOffset = 0;
	data->YOffset = rowsDone_;
	rowsDone_ += data->Rows;
	showProgress(rowsDone_, window_.lines);
	if (rowsDone_ < window_.lines)
		return TWRC_SUCCESS;
	if (link_.scanning())
		if (const client::Outcome stopped = link_.stopScan(false); !stopped)
			return failDriver(stopped.error);
	return TWRC_XFERDONE;
}

TW_UINT16 DataSource::plainStrip(uint8_t *buffer, TW_IMAGEMEMXFER *data)
{
	const uint32_t row = window_.bytesPerLine;
	if (state_ == 6) {
		if (const client::Outcome started = openPageScan(); !started)
			return failDriver(started.error);
		rowsDone_ = 0;
		state_ = 7;
	}
	const uint32_t rows = std::min(data->Memory.Length / row, window_.lines - rowsDone_);
	const client::Outcome read = link_.read(buffer, rows * row);
	if (!read) {
		link_.stopScan(true);
		return failDriver(read.error);
	}
	if (caps_.invertedRows())
		copyRows(buffer, buffer, rows * row, true);
	data->Compression = TWCP_NONE;
	data->Rows = rows;
	data->BytesWritten = rows * row;
	return TWRC_SUCCESS;
}

TW_UINT16 DataSource::codedStrip(uint8_t *buffer, TW_IMAGEMEMXFER *data)
{
	// The coding needs the row above: the page is scanned whole at the
	// first strip, and every strip is a block of its own (an all-white row
	// above its first, the end-of-block mark at its end) that decodes
	// alone, as many whole rows as fit in the buffer.
	if (state_ == 6) {
		if (const client::Outcome scanned = scanWholeImage(); !scanned)
			return failDriver(scanned.error);
		rowsDone_ = 0;
		state_ = 7;
	}
	const G4Strip strip = g4Strip(image_.data(), window_.pixels, window_.bytesPerLine, rowsDone_, window_.lines,
				      data->Memory.Length);
	if (strip.rows == 0)
		return fail(TWCC_BADVALUE);
	std::memcpy(buffer, strip.bytes.data(), strip.bytes.size());
	data->Compression = TWCP_GROUP4;
	data->Rows = strip.rows;
	data->BytesWritten = static_cast<TW_UINT32>(strip.bytes.size());
	return TWRC_SUCCESS;
}

} // namespace torvane::twain
