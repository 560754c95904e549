// SPDX-License-Identifier: MIT
// The source's own dialog (plain Win32, a template built with windres): mode,
// resolution, paper size, colour filter, halftone pattern, a preview, Scan and
// Cancel, and a progress bar. Modeless, on the application's thread, which
// runs the whole scan cycle: the dialog only reports what was chosen.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include <windows.h>

#include "twain/twain_protocol.h"

namespace torvane::twain {

struct DialogChoices {
	TW_UINT16 pixelType = TWPT_RGB;
	TW_UINT16 reduction = TWBR_THRESHOLD;
	double dpi = 300;
	TW_UINT16 paperSize = TWSS_NONE;
	TW_UINT16 filter = TWFT_NONE;
	uint32_t halftone = 0; // index of the pattern
};

enum class DialogAction {
	Scan, // or OK, when the dialog only sets values
	Preview,
	Cancel
};

class ScanDialog
{
public:
	using Handler = std::function<void(DialogAction, const DialogChoices &)>;

	~ScanDialog() { close(); }

	// Shows the dialog owned by `parent` with `initial` chosen; false when
	// no window can be made (no display).
	bool open(HWND parent, const DialogChoices &initial, const std::vector<double> &resolutions,
		  const std::vector<double> &paperSizes, bool settingsOnly, Handler handler);
	void close();
	bool isOpen() const { return window_ != nullptr; }
	// The application's message, when it belongs to the dialog (keyboard).
	bool handleMessage(MSG *message);
	// Scan and Preview are off while a scan runs.
	void setBusy(bool busy);
	void setProgress(uint64_t done, uint64_t total);
	// A preview: a packed DIB drawn into the preview area.
	void showPreview(std::vector<uint8_t> dib);

private:
	static INT_PTR CALLBACK dialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
	void fill(const DialogChoices &initial);
	DialogChoices chosen() const;
	void drawPreview(const DRAWITEMSTRUCT &item) const;

	HWND window_ = nullptr;
	HWND focusBeforeBusy_ = nullptr; // given back when the buttons are on again
	Handler handler_;
	std::vector<double> resolutions_;
	std::vector<double> paperSizes_;
	std::vector<uint8_t> preview_;
	bool settingsOnly_ = false;
};

} // namespace torvane::twain
