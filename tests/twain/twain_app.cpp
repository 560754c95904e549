// SPDX-License-Identifier: MIT
// The test application's side of TWAIN: installing, the manager, triplets.

#include "twain_app.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace torvane::twaintest {

namespace {

std::atomic<int> lastCallback{ MSG_NULL };
HANDLE callbackEvent = ::CreateEventA(nullptr, FALSE, FALSE, nullptr);

TW_UINT16 WINAPI onSourceMessage(TW_IDENTITY *, TW_IDENTITY *, TW_UINT32, TW_UINT16, TW_UINT16 msg, TW_MEMREF)
{
	lastCallback = msg;
	::SetEvent(callbackEvent);
	return TWRC_SUCCESS;
}

std::string windowsDir()
{
	char path[MAX_PATH];
	const UINT length = ::GetWindowsDirectoryA(path, sizeof(path));
	return std::string(path, length);
}

// A path of the build machine as Wine's drive Z: shows it.
std::string unixPathInWine(const std::string &path)
{
	std::string converted = "Z:" + path;
	for (char &c : converted)
		if (c == '/')
			c = '\\';
	return converted;
}

bool copyFile(const std::string &from, const std::string &to)
{
	return ::CopyFileA(from.c_str(), to.c_str(), FALSE) != 0;
}

} // namespace

std::string sourceFolder(Manager manager)
{
	return windowsDir() + (manager == Manager::Wine ? "\\twain_64" : "\\twain_64\\Torvane");
}

Installation installFor(Manager manager, const std::string &programDir, const std::string &driverFile)
{
	auto failed = [](std::string problem) { return Installation{ false, false, std::move(problem) }; };
	auto absent = [](std::string problem) { return Installation{ false, true, std::move(problem) }; };
	// A test program that crashes ends at once, with no crash dialog to
	// wait for on a display.
	HKEY debugger;
	if (::RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Wine\\WineDbg", 0, nullptr, 0, KEY_SET_VALUE, nullptr,
			      &debugger, nullptr) == ERROR_SUCCESS) {
		const DWORD off = 0;
		::RegSetValueExA(debugger, "ShowCrashDialog", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&off),
				 sizeof(off));
		::RegCloseKey(debugger);
	}
	const std::string twain64 = windowsDir() + "\\twain_64";
	::CreateDirectoryA(twain64.c_str(), nullptr);
	const std::string folder = sourceFolder(manager);
	::CreateDirectoryA(folder.c_str(), nullptr);
	const std::string source = programDir + "TorvaneScanner.ds";
	const std::string driver = programDir + driverFile;
	if (manager == Manager::Wine) {
		// Wine's manager loads only twain_64\sane.ds, which must be ours
		// rather than Wine's own library of that name.
		HKEY key;
		if (::RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Wine\\DllOverrides", 0, nullptr, 0, KEY_SET_VALUE,
				      nullptr, &key, nullptr) == ERROR_SUCCESS) {
			::RegSetValueExA(key, "sane.ds", 0, REG_SZ, reinterpret_cast<const BYTE *>("native"), 7);
			::RegCloseKey(key);
		}
		if (!copyFile(source, folder + "\\sane.ds") || !copyFile(driver, folder + "\\RM735.dll"))
			return failed("the source could not be installed into " + folder);
		return Installation{ true, false, {} };
	}
	// The Working Group's manager lists every source under twain_64: ours
	// is there once.
	::DeleteFileA((twain64 + "\\sane.ds").c_str());
	if (!copyFile(source, folder + "\\TorvaneScanner.ds") || !copyFile(driver, folder + "\\RM735.dll"))
		return failed("the source could not be installed into " + folder);
	const char *configured = std::getenv("TORVANE_TWAINDSM");
	if (!configured || !*configured)
		return absent("TORVANE_TWAINDSM names no TWAINDSM.dll");
	const std::string manager64 = unixPathInWine(configured);
	if (::GetFileAttributesA(manager64.c_str()) == INVALID_FILE_ATTRIBUTES)
		return absent("no TWAINDSM.dll at " + std::string(configured));
	if (!copyFile(manager64, windowsDir() + "\\system32\\TWAINDSM.dll"))
		return failed("TWAINDSM.dll could not be copied into system32");
	return Installation{ true, false, {} };
}

TwainApp::~TwainApp()
{
	if (sourceOpen_)
		closeSource();
	if (managerOpen_)
		entry_(&app_, nullptr, DG_CONTROL, DAT_PARENT, MSG_CLOSEDSM, &parent_);
	if (ownWindow_)
		::DestroyWindow(parent_);
}

bool TwainApp::openManager(Manager manager, std::string *error)
{
	const char *file = manager == Manager::Wine ? "twain_32.dll" : "TWAINDSM.dll";
	module_ = ::LoadLibraryA(file);
	entry_ = module_ ? reinterpret_cast<DSMENTRYPROC>(reinterpret_cast<void *>(::GetProcAddress(module_, "DSM_Entry")))
			 : nullptr;
	if (!entry_) {
		*error = std::string(file) + " could not be loaded";
		return false;
	}
	app_.Version.MajorNum = 1;
	app_.Version.Language = TWLG_ENGLISH_USA;
	app_.Version.Country = TWCY_USA;
	std::strcpy(app_.Version.Info, "test");
	app_.ProtocolMajor = manager == Manager::Wine ? 1 : TWON_PROTOCOLMAJOR;
	app_.ProtocolMinor = manager == Manager::Wine ? 9 : TWON_PROTOCOLMINOR;
	app_.SupportedGroups = DG_CONTROL | DG_IMAGE | (manager == Manager::Wine ? 0 : DF_APP2);
	std::strcpy(app_.Manufacturer, "Torvane tests");
	std::strcpy(app_.ProductFamily, "Tests");
	std::strcpy(app_.ProductName, "twain_app_tests");
	if (manager == Manager::WorkingGroupWindow) {
		// The manager posts the source's messages to this window.
		parent_ = ::CreateWindowExA(0, "STATIC", "twain_app_tests", WS_OVERLAPPED, 0, 0, 100, 100, nullptr,
					    nullptr, nullptr, nullptr);
		ownWindow_ = parent_ != nullptr;
		if (!parent_) {
			*error = "no window for the message loop";
			return false;
		}
	}
	const TW_UINT16 rc = entry_(&app_, nullptr, DG_CONTROL, DAT_PARENT, MSG_OPENDSM, &parent_);
	if (rc != TWRC_SUCCESS) {
		*error = std::string("MSG_OPENDSM failed with ") + std::to_string(rc);
		return false;
	}
	managerOpen_ = true;
	if (app_.SupportedGroups & DF_DSM2) {
		managerEntry_.Size = sizeof(managerEntry_);
		hasEntry_ = entry_(&app_, nullptr, DG_CONTROL, DAT_ENTRYPOINT, MSG_GET, &managerEntry_) == TWRC_SUCCESS;
	}
	return true;
}

std::vector<TW_IDENTITY> TwainApp::sources()
{
	std::vector<TW_IDENTITY> list;
	TW_IDENTITY identity{};
	for (TW_UINT16 msg = MSG_GETFIRST;
	     entry_(&app_, nullptr, DG_CONTROL, DAT_IDENTITY, msg, &identity) == TWRC_SUCCESS; msg = MSG_GETNEXT)
		list.push_back(identity);
	return list;
}

TW_UINT16 TwainApp::openSource(bool useCallback)
{
	for (const TW_IDENTITY &identity : sources())
		if (std::strncmp(identity.ProductName, "Torvane", 7) == 0)
			source_ = identity;
	TW_UINT16 rc = entry_(&app_, nullptr, DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, &source_);
	if (rc != TWRC_SUCCESS)
		return rc;
	sourceOpen_ = true;
	if (useCallback) {
		TW_CALLBACK2 callback{ reinterpret_cast<void *>(&onSourceMessage), 0, 0 };
		rc = call(DG_CONTROL, DAT_CALLBACK2, MSG_REGISTER_CALLBACK, &callback);
		callbacks_ = rc == TWRC_SUCCESS;
	}
	return rc;
}

TW_UINT16 TwainApp::closeSource()
{
	const TW_UINT16 rc = entry_(&app_, nullptr, DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &source_);
	if (rc == TWRC_SUCCESS)
		sourceOpen_ = false;
	return rc;
}

TW_UINT16 TwainApp::call(TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg, void *data)
{
	return entry_(&app_, &source_, dg, dat, msg, data);
}

TW_UINT16 TwainApp::conditionCode()
{
	TW_STATUS status{ 0xEEEE, 0xEEEE };
	if (call(DG_CONTROL, DAT_STATUS, MSG_GET, &status) != TWRC_SUCCESS)
		return 0xFFFF;
	return status.ConditionCode;
}

void *TwainApp::lock(TW_HANDLE handle)
{
	return hasEntry_ ? managerEntry_.DSM_MemLock(handle) : ::GlobalLock(handle);
}

void TwainApp::unlock(TW_HANDLE handle)
{
	if (hasEntry_)
		managerEntry_.DSM_MemUnlock(handle);
	else
		::GlobalUnlock(handle);
}

void TwainApp::release(TW_HANDLE handle)
{
	if (hasEntry_)
		managerEntry_.DSM_MemFree(handle);
	else
		::GlobalFree(handle);
}

namespace {

double numberAt(const uint8_t *at, TW_UINT16 type)
{
	switch (type) {
	case TWTY_INT16: {
		int16_t v;
		std::memcpy(&v, at, 2);
		return v;
	}
	case TWTY_UINT16:
	case TWTY_BOOL: {
		uint16_t v;
		std::memcpy(&v, at, 2);
		return v;
	}
	case TWTY_INT32: {
		int32_t v;
		std::memcpy(&v, at, 4);
		return v;
	}
	case TWTY_FIX32: {
		TW_FIX32 v;
		std::memcpy(&v, at, 4);
		return v.Whole + v.Frac / 65536.0;
	}
	default: {
		uint32_t v;
		std::memcpy(&v, at, 4);
		return v;
	}
	}
}

uint32_t sizeOf(TW_UINT16 type)
{
	return type == TWTY_INT16 || type == TWTY_UINT16 || type == TWTY_BOOL ? 2
	       : type == TWTY_STR32					      ? 34
	       : type == TWTY_FRAME					      ? 16
									      : 4;
}

} // namespace

TW_UINT16 TwainApp::getCurrent(TW_UINT16 cap, double *value, TW_UINT16 *itemType, TW_UINT16 msg)
{
	TW_CAPABILITY capability{ cap, TWON_DONTCARE16, nullptr };
	const TW_UINT16 rc = call(DG_CONTROL, DAT_CAPABILITY, msg, &capability);
	if (rc != TWRC_SUCCESS)
		return rc;
	const auto *at = static_cast<const uint8_t *>(lock(capability.hContainer));
	TW_UINT16 type;
	std::memcpy(&type, at, 2);
	if (itemType)
		*itemType = type;
	*value = capability.ConType == TWON_ONEVALUE ? numberAt(at + 2, type) : -12345;
	unlock(capability.hContainer);
	release(capability.hContainer);
	return rc;
}

TW_UINT16 TwainApp::getList(TW_UINT16 cap, std::vector<double> *values, TW_UINT16 *container, uint32_t *current,
			    uint32_t *defaultIndex)
{
	TW_CAPABILITY capability{ cap, TWON_DONTCARE16, nullptr };
	const TW_UINT16 rc = call(DG_CONTROL, DAT_CAPABILITY, MSG_GET, &capability);
	if (rc != TWRC_SUCCESS)
		return rc;
	*container = capability.ConType;
	const auto *at = static_cast<const uint8_t *>(lock(capability.hContainer));
	TW_UINT16 type;
	uint32_t count = 1;
	std::memcpy(&type, at, 2);
	uint32_t header = 2;
	if (capability.ConType == TWON_ENUMERATION || capability.ConType == TWON_ARRAY) {
		std::memcpy(&count, at + 2, 4);
		header = capability.ConType == TWON_ENUMERATION ? 14 : 6;
	}
	if (capability.ConType == TWON_ENUMERATION) {
		if (current)
			std::memcpy(current, at + 6, 4);
		if (defaultIndex)
			std::memcpy(defaultIndex, at + 10, 4);
	}
	values->clear();
	for (uint32_t i = 0; i < count; ++i)
		values->push_back(numberAt(at + header + i * sizeOf(type), type));
	unlock(capability.hContainer);
	release(capability.hContainer);
	return rc;
}

TW_UINT16 TwainApp::setOne(TW_UINT16 cap, TW_UINT16 itemType, double value)
{
	TW_HANDLE handle = hasEntry_ ? managerEntry_.DSM_MemAllocate(sizeof(TW_ONEVALUE))
				     : ::GlobalAlloc(GHND, sizeof(TW_ONEVALUE));
	auto *one = static_cast<TW_ONEVALUE *>(lock(handle));
	one->ItemType = itemType;
	if (itemType == TWTY_FIX32) {
		const long scaled = static_cast<long>(value * 65536.0 + 0.5);
		TW_FIX32 fix{ static_cast<TW_INT16>(scaled >> 16), static_cast<TW_UINT16>(scaled & 0xFFFF) };
		std::memcpy(&one->Item, &fix, 4);
	} else if (itemType == TWTY_INT16) {
		const int16_t v = static_cast<int16_t>(value);
		std::memcpy(&one->Item, &v, 2);
	} else {
		one->Item = static_cast<TW_UINT32>(static_cast<int64_t>(value));
	}
	unlock(handle);
	TW_CAPABILITY capability{ cap, TWON_ONEVALUE, handle };
	const TW_UINT16 rc = call(DG_CONTROL, DAT_CAPABILITY, MSG_SET, &capability);
	release(handle);
	return rc;
}

TW_UINT16 TwainApp::setArray(TW_UINT16 cap, const std::vector<TW_UINT16> &items)
{
	const TW_UINT32 size = static_cast<TW_UINT32>(6 + 2 * std::max<size_t>(items.size(), 1));
	TW_HANDLE handle = hasEntry_ ? managerEntry_.DSM_MemAllocate(size) : ::GlobalAlloc(GHND, size);
	auto *at = static_cast<uint8_t *>(lock(handle));
	const TW_UINT16 type = TWTY_UINT16;
	const TW_UINT32 count = static_cast<TW_UINT32>(items.size());
	std::memcpy(at, &type, 2);
	std::memcpy(at + 2, &count, 4);
	std::memcpy(at + 6, items.data(), 2 * items.size());
	unlock(handle);
	TW_CAPABILITY capability{ cap, TWON_ARRAY, handle };
	const TW_UINT16 rc = call(DG_CONTROL, DAT_CAPABILITY, MSG_SET, &capability);
	release(handle);
	return rc;
}

TW_UINT16 TwainApp::setFrame(double left, double top, double right, double bottom)
{
	TW_IMAGELAYOUT layout{};
	auto fix = [](double v) {
		const long scaled = static_cast<long>(v * 65536.0 + 0.5);
		return TW_FIX32{ static_cast<TW_INT16>(scaled >> 16), static_cast<TW_UINT16>(scaled & 0xFFFF) };
	};
	layout.Frame = { fix(left), fix(top), fix(right), fix(bottom) };
	return call(DG_IMAGE, DAT_IMAGELAYOUT, MSG_SET, &layout);
}

void TwainApp::forgetMessages()
{
	lastCallback = MSG_NULL;
	::ResetEvent(callbackEvent);
}

bool TwainApp::enableAndWait(bool showUI)
{
	forgetMessages();
	TW_USERINTERFACE ui{ static_cast<TW_BOOL>(showUI), 0, parent_ };
	if (call(DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui) != TWRC_SUCCESS)
		return false;
	return waitForMessage(MSG_XFERREADY, 10000);
}

bool TwainApp::waitForMessage(TW_UINT16 wanted, DWORD timeoutMs)
{
	const DWORD end = ::GetTickCount() + timeoutMs;
	while (static_cast<int32_t>(end - ::GetTickCount()) > 0) {
		if (callbacks_) {
			if (lastCallback == wanted)
				return true;
			::WaitForSingleObject(callbackEvent, 50);
			continue;
		}
		MSG message;
		if (!::PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
			::MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
			// A source that answers DAT_EVENT without a message of its own.
			message = MSG{};
		}
		TW_EVENT event{ &message, MSG_NULL };
		if (call(DG_CONTROL, DAT_EVENT, MSG_PROCESSEVENT, &event) == TWRC_DSEVENT && event.TWMessage == wanted)
			return true;
		if (message.message) {
			::TranslateMessage(&message);
			::DispatchMessageA(&message);
		}
	}
	return false;
}

} // namespace torvane::twaintest
