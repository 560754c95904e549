// SPDX-License-Identifier: MIT
// The TWAIN data source: the states 3 to 7, every triplet it answers, and
// the transfers. One object per process (a manager opens one session of a
// source at a time); DS_Entry hands every call to it.
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "client/scan_window.h"
#include "twain/capabilities.h"
#include "twain/handle_memory.h"
#include "twain/scan_dialog.h"
#include "twain/scanner_link.h"
#include "twain/twain_protocol.h"

namespace torvane::twain {

class DataSource
{
public:
	// `folder`: where the source and the model DLLs are.
	explicit DataSource(std::string folder) : folder_(std::move(folder)) {}

	TW_UINT16 entry(TW_IDENTITY *origin, TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data);

	int state() const { return state_; }
	// Held for every call: DS_Entry's and the dialog's (a manager may call
	// back into the source while it signals).
	std::recursive_mutex &mutex() { return mutex_; }

private:
	// A failure with its condition code, kept for DAT_STATUS.
	TW_UINT16 fail(TW_UINT16 conditionCode);
	TW_UINT16 failDriver(int32_t driverError);
	TW_UINT16 answer(const CapResult &result);
	bool inStates(int low, int high) const { return state_ >= low && state_ <= high; }

	TW_UINT16 control(TW_IDENTITY *origin, TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data);
	TW_UINT16 image(TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data);

	TW_UINT16 identity(TW_IDENTITY *origin, TW_UINT16 msg, TW_IDENTITY *data);
	TW_UINT16 capability(TW_UINT16 msg, TW_CAPABILITY *data);
	TW_UINT16 userInterface(TW_UINT16 msg, TW_USERINTERFACE *data);
	TW_UINT16 pendingTransfers(TW_UINT16 msg, TW_PENDINGXFERS *data);
	TW_UINT16 status(TW_UINT16 dat, TW_MEMREF data);
	TW_UINT16 event(TW_EVENT *data);
	TW_UINT16 deviceEvent(TW_DEVICEEVENT *data);
	TW_UINT16 imageLayout(TW_UINT16 msg, TW_IMAGELAYOUT *data);
	TW_UINT16 imageInfo(TW_IMAGEINFO *data);
	TW_UINT16 setupMemory(TW_SETUPMEMXFER *data);
	TW_UINT16 setupFile(TW_UINT16 msg, TW_SETUPFILEXFER *data);
	TW_UINT16 response(TW_UINT16 dat, TW_UINT16 msg, const TW_GRAYRESPONSE *data);
	TW_UINT16 nativeTransfer(TW_HANDLE *data);
	TW_UINT16 memoryTransfer(TW_IMAGEMEMXFER *data);
	TW_UINT16 fileTransfer();
	// One memory strip into `buffer` (Rows, BytesWritten, Compression set).
	TW_UINT16 plainStrip(uint8_t *buffer, TW_IMAGEMEMXFER *data);
	TW_UINT16 codedStrip(uint8_t *buffer, TW_IMAGEMEMXFER *data);
	// The least a memory strip's buffer holds: one row, as the transfer codes it.
	uint32_t memoryRowBytes(const client::ScanWindow &window) const;
	// image_ as the file format and coding asked for; empty without memory.
	std::vector<uint8_t> imageFile() const;

	// The driver's failure as a device event, when the application asked
	// for that event: queued for DAT_DEVICEEVENT, MSG_DEVICEEVENT signalled.
	void reportDeviceEvent(int32_t driverError);
	// State 6 is entered: the pages to transfer, and the feeder's stack.
	void beginTransfers();
	// The scan cycle of the current page: open already (fed at the end of
	// the page before), or started now.
	client::Outcome openPageScan();
	// Feeds the next sheet of a stack as the page before ends, so that the
	// count says whether there is one: false when the feeder is empty. A
	// failure (a jam) is kept for the next transfer.
	bool feedNextPage();
	// Plans the next image from the current capabilities: false when the
	// frame holds no image at the resolution.
	bool planImage();
	// The whole image of one scan into image_; the driver's code on failure.
	client::Outcome scanWholeImage();
	// Tells the application through the manager (DAT_NULL), or at its next
	// DAT_EVENT when the manager takes no such call.
	void signal(TW_UINT16 msg);
	// Ends the transfer of the current image; the pending count after it.
	int endTransfer(bool cancelled);
	// The dialog: what it shows first, and what its buttons do.
	DialogChoices dialogChoices() const;
	void onDialog(DialogAction action, const DialogChoices &choices);
	void applyChoices(const DialogChoices &choices);
	void previewScan();
	void showProgress(uint64_t done, uint64_t total);

	std::string folder_;
	std::recursive_mutex mutex_;
	int state_ = 3;
	TW_IDENTITY own_{};
	TW_IDENTITY application_{};
	TW_ENTRYPOINT manager_{};
	bool hasManagerEntry_ = false;
	HandleMemory memory_;
	TW_UINT16 conditionCode_ = TWCC_SUCCESS;
	TW_UINT16 pendingEvent_ = MSG_NULL;
	std::deque<TW_DEVICEEVENT> deviceEvents_;

	ScannerLink link_;
	Capabilities caps_;
	client::ScanWindow window_;
	int pending_ = 0;
	client::Outcome fedFailure_;	  // of the sheet fed at the last page's end
	bool fedFailureReported_ = false; // its device event is queued already
	uint32_t rowsDone_ = 0;
	std::vector<uint8_t> image_;
	std::string fileName_ = "TWAIN.BMP";
	ScanDialog dialog_;
	bool settingsOnly_ = false;
};

} // namespace torvane::twain
