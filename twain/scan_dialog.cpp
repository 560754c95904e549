// SPDX-License-Identifier: MIT
// The source's dialog: filling and reading its controls, the preview, progress.

#include "twain/scan_dialog.h"

#include <commctrl.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "twain/scan_dialog_ids.h"

namespace torvane::twain {

namespace {

struct ModeChoice {
	const char *name;
	TW_UINT16 pixelType;
	TW_UINT16 reduction;
};
constexpr ModeChoice kModes[] = {
	{ "Colour", TWPT_RGB, TWBR_THRESHOLD },
	{ "Grey", TWPT_GRAY, TWBR_THRESHOLD },
	{ "Line art", TWPT_BW, TWBR_THRESHOLD },
	{ "Halftone", TWPT_BW, TWBR_HALFTONE },
};
// ICAP_FILTER's values in the order of the list.
constexpr TW_UINT16 kFilters[] = { TWFT_NONE, TWFT_RED, TWFT_GREEN, TWFT_BLUE };
constexpr const char *kFilterNames[] = { "None", "Red", "Green", "Blue" };

const char *paperName(double code)
{
	switch (static_cast<TW_UINT16>(code)) {
	case TWSS_A4:
		return "A4";
	case TWSS_USLETTER:
		return "Letter";
	case TWSS_USLEGAL:
		return "Legal";
	case TWSS_A5:
		return "A5";
	case TWSS_JISB5:
		return "B5";
	default:
		return "Whole scan area";
	}
}

HMODULE ownModule()
{
	HMODULE module = nullptr;
	::GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
			     reinterpret_cast<LPCSTR>(&ownModule), &module);
	return module;
}

void addItem(HWND combo, const char *text)
{
	::SendMessageA(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text));
}

int selection(HWND dialog, int id)
{
	const LRESULT index = ::SendDlgItemMessageA(dialog, id, CB_GETCURSEL, 0, 0);
	return index == CB_ERR ? 0 : static_cast<int>(index);
}

// The dialog sharp on screens of any DPI, where Windows offers it per thread
// (a DLL must not change the whole process).
using SetThreadDpiContext = DPI_AWARENESS_CONTEXT(WINAPI *)(DPI_AWARENESS_CONTEXT);

SetThreadDpiContext threadDpiSetter()
{
	HMODULE user32 = ::GetModuleHandleA("user32.dll");
	return user32 ? reinterpret_cast<SetThreadDpiContext>(
				reinterpret_cast<void *>(::GetProcAddress(user32, "SetThreadDpiAwarenessContext")))
		      : nullptr;
}

} // namespace

bool ScanDialog::open(HWND parent, const DialogChoices &initial, const std::vector<double> &resolutions,
		      const std::vector<double> &paperSizes, bool settingsOnly, Handler handler)
{
	close();
	INITCOMMONCONTROLSEX controls{ sizeof(controls), ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES };
	::InitCommonControlsEx(&controls);
	handler_ = std::move(handler);
	resolutions_ = resolutions;
	paperSizes_ = paperSizes;
	settingsOnly_ = settingsOnly;
	preview_.clear();
	const SetThreadDpiContext setDpi = threadDpiSetter();
	DPI_AWARENESS_CONTEXT before = setDpi ? setDpi(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2) : nullptr;
	window_ = ::CreateDialogParamA(ownModule(), MAKEINTRESOURCEA(TORVANE_IDD_SCAN), parent, &ScanDialog::dialogProc,
				       reinterpret_cast<LPARAM>(this));
	if (setDpi && before)
		setDpi(before);
	if (!window_)
		return false;
	fill(initial);
	if (settingsOnly_)
		::SetDlgItemTextA(window_, IDOK, "OK");
	::ShowWindow(window_, SW_SHOW);
	::SetForegroundWindow(window_);
	return true;
}

void ScanDialog::close()
{
	if (window_)
		::DestroyWindow(window_);
	window_ = nullptr;
}

bool ScanDialog::handleMessage(MSG *message)
{
	return window_ && message && ::IsDialogMessageA(window_, message);
}

void ScanDialog::setBusy(bool busy)
{
	if (!window_)
		return;
	// A button disabled while it has the focus loses it for good: a
	// keyboard user would be left with no control at all after a preview.
	if (busy) {
		HWND focus = ::GetFocus();
		focusBeforeBusy_ = focus && ::IsChild(window_, focus) ? focus : nullptr;
	}
	::EnableWindow(::GetDlgItem(window_, IDOK), !busy);
	::EnableWindow(::GetDlgItem(window_, TORVANE_IDC_PREVIEW), !busy);
	if (!busy) {
		setProgress(0, 1);
		HWND focus = ::GetFocus();
		if (focusBeforeBusy_ && ::IsWindow(focusBeforeBusy_) && (!focus || !::IsChild(window_, focus)))
			::SendMessageA(window_, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(focusBeforeBusy_), TRUE);
		focusBeforeBusy_ = nullptr;
	}
}

void ScanDialog::setProgress(uint64_t done, uint64_t total)
{
	if (!window_ || total == 0)
		return;
	const auto permille = static_cast<WPARAM>(done * 1000 / total);
	HWND bar = ::GetDlgItem(window_, TORVANE_IDC_PROGRESS);
	::SendMessageA(bar, PBM_SETRANGE32, 0, 1000);
	::SendMessageA(bar, PBM_SETPOS, permille, 0);
	::UpdateWindow(bar);
}

void ScanDialog::showPreview(std::vector<uint8_t> dib)
{
	preview_ = std::move(dib);
	if (window_)
		::InvalidateRect(::GetDlgItem(window_, TORVANE_IDC_PREVIEW_AREA), nullptr, TRUE);
}

void ScanDialog::fill(const DialogChoices &initial)
{
	HWND mode = ::GetDlgItem(window_, TORVANE_IDC_MODE);
	int index = 0;
	for (size_t i = 0; i < std::size(kModes); ++i) {
		addItem(mode, kModes[i].name);
		if (kModes[i].pixelType == initial.pixelType &&
		    (initial.pixelType != TWPT_BW || kModes[i].reduction == initial.reduction))
			index = static_cast<int>(i);
	}
	::SendMessageA(mode, CB_SETCURSEL, index, 0);
	HWND resolution = ::GetDlgItem(window_, TORVANE_IDC_RESOLUTION);
	index = 0;
	for (size_t i = 0; i < resolutions_.size(); ++i) {
		addItem(resolution, std::to_string(static_cast<int>(resolutions_[i])).c_str());
		if (resolutions_[i] == initial.dpi)
			index = static_cast<int>(i);
	}
	::SendMessageA(resolution, CB_SETCURSEL, index, 0);
	HWND paper = ::GetDlgItem(window_, TORVANE_IDC_PAPER);
	index = 0;
	for (size_t i = 0; i < paperSizes_.size(); ++i) {
		addItem(paper, paperName(paperSizes_[i]));
		if (paperSizes_[i] == initial.paperSize)
			index = static_cast<int>(i);
	}
	::SendMessageA(paper, CB_SETCURSEL, index, 0);
	HWND filter = ::GetDlgItem(window_, TORVANE_IDC_FILTER);
	index = 0;
	for (size_t i = 0; i < std::size(kFilters); ++i) {
		addItem(filter, kFilterNames[i]);
		if (kFilters[i] == initial.filter)
			index = static_cast<int>(i);
	}
	::SendMessageA(filter, CB_SETCURSEL, index, 0);
	HWND halftone = ::GetDlgItem(window_, TORVANE_IDC_HALFTONE);
	for (int i = 1; i <= 6; ++i)
		addItem(halftone, ("Pattern " + std::to_string(i)).c_str());
	::SendMessageA(halftone, CB_SETCURSEL, initial.halftone, 0);
	::SendMessageA(::GetDlgItem(window_, TORVANE_IDC_PROGRESS), PBM_SETRANGE32, 0, 1000);
}

DialogChoices ScanDialog::chosen() const
{
	DialogChoices choices;
	const ModeChoice &mode = kModes[selection(window_, TORVANE_IDC_MODE) % std::size(kModes)];
	choices.pixelType = mode.pixelType;
	choices.reduction = mode.reduction;
	const auto resolution = static_cast<size_t>(selection(window_, TORVANE_IDC_RESOLUTION));
	choices.dpi = resolution < resolutions_.size() ? resolutions_[resolution] : 300;
	const auto paper = static_cast<size_t>(selection(window_, TORVANE_IDC_PAPER));
	choices.paperSize = paper < paperSizes_.size() ? static_cast<TW_UINT16>(paperSizes_[paper]) : TWSS_NONE;
	choices.filter = kFilters[selection(window_, TORVANE_IDC_FILTER) % std::size(kFilters)];
	choices.halftone = static_cast<uint32_t>(selection(window_, TORVANE_IDC_HALFTONE));
	return choices;
}

void ScanDialog::drawPreview(const DRAWITEMSTRUCT &item) const
{
	::FillRect(item.hDC, &item.rcItem, static_cast<HBRUSH>(::GetStockObject(WHITE_BRUSH)));
	if (preview_.size() < sizeof(BITMAPINFOHEADER))
		return;
	const auto *info = reinterpret_cast<const BITMAPINFO *>(preview_.data());
	const LONG width = info->bmiHeader.biWidth, height = info->bmiHeader.biHeight;
	if (width <= 0 || height <= 0)
		return;
	const size_t header = info->bmiHeader.biSize + 4 * size_t(info->bmiHeader.biClrUsed);
	// The page's proportions kept inside the area.
	const LONG areaWidth = item.rcItem.right - item.rcItem.left, areaHeight = item.rcItem.bottom - item.rcItem.top;
	LONG drawWidth = areaWidth, drawHeight = static_cast<LONG>(int64_t(areaWidth) * height / width);
	if (drawHeight > areaHeight) {
		drawHeight = areaHeight;
		drawWidth = static_cast<LONG>(int64_t(areaHeight) * width / height);
	}
	::SetStretchBltMode(item.hDC, HALFTONE);
	::StretchDIBits(item.hDC, item.rcItem.left, item.rcItem.top, drawWidth, drawHeight, 0, 0, width, height,
			preview_.data() + header, info, DIB_RGB_COLORS, SRCCOPY);
}

INT_PTR CALLBACK ScanDialog::dialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
	if (message == WM_INITDIALOG) {
		::SetWindowLongPtrA(window, DWLP_USER, lParam);
		return TRUE;
	}
	auto *self = reinterpret_cast<ScanDialog *>(::GetWindowLongPtrA(window, DWLP_USER));
	if (!self)
		return FALSE;
	switch (message) {
	case WM_DRAWITEM:
		if (wParam == TORVANE_IDC_PREVIEW_AREA) {
			self->drawPreview(*reinterpret_cast<const DRAWITEMSTRUCT *>(lParam));
			return TRUE;
		}
		return FALSE;
	case WM_COMMAND: {
		const int id = LOWORD(wParam);
		const DialogAction action = id == IDOK			? DialogAction::Scan
					    : id == TORVANE_IDC_PREVIEW ? DialogAction::Preview
					    : id == IDCANCEL		? DialogAction::Cancel
									: DialogAction::Cancel;
		if (id != IDOK && id != TORVANE_IDC_PREVIEW && id != IDCANCEL)
			return FALSE;
		// The handler may close the dialog: it gets a copy of the choices.
		const DialogChoices choices = self->chosen();
		if (self->handler_)
			self->handler_(action, choices);
		return TRUE;
	}
	case WM_CLOSE:
		if (self->handler_)
			self->handler_(DialogAction::Cancel, self->chosen());
		return TRUE;
	default:
		return FALSE;
	}
}

} // namespace torvane::twain
