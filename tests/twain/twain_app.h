// SPDX-License-Identifier: MIT
// A TWAIN application of our own for the tests: it talks only to a data
// source manager (the Working Group's TWAINDSM.dll or Wine's twain_32.dll),
// which loads TorvaneScanner.ds from C:\windows\twain_64.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <windows.h>

#include "twain/twain_protocol.h"

namespace torvane::twaintest {

using namespace torvane::twain;

enum class Manager {
	WorkingGroup,	    // TWAINDSM.dll, TWAIN 2: entry point and callbacks
	Wine,		    // twain_32.dll, TWAIN 1.x: messages, GlobalAlloc
	WorkingGroupWindow, // TWAINDSM.dll with a window and its message loop (a display)
};

// Installs the source and a driver DLL of the program's folder as RM735.dll
// (the test driver, or the shipped RM735.dll itself) where `manager` looks,
// and the Working Group's manager into system32.
struct Installation {
	bool done = false;
	bool managerAbsent = false; // the Working Group's DLL is not there: skip
	std::string problem;
};
Installation installFor(Manager manager, const std::string &programDir,
			const std::string &driverFile = "torvane_test_driver.dll");
// Where the source finds the model DLLs for `manager`.
std::string sourceFolder(Manager manager);

class TwainApp
{
public:
	~TwainApp();

	// Loads the manager and opens it (state 3). False with `error`.
	bool openManager(Manager manager, std::string *error);
	// The identities of every source the manager lists.
	std::vector<TW_IDENTITY> sources();
	// Opens the source named "Torvane..." (state 4); callbacks registered
	// when `useCallback` (TWAIN 2 managers only).
	TW_UINT16 openSource(bool useCallback);
	TW_UINT16 closeSource();

	// A triplet to the open source.
	TW_UINT16 call(TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg, void *data);
	// The condition code of the last failure (DAT_STATUS).
	TW_UINT16 conditionCode();

	// Capabilities: a one-value get/set of a number.
	TW_UINT16 getCurrent(TW_UINT16 cap, double *value, TW_UINT16 *itemType = nullptr, TW_UINT16 msg = MSG_GETCURRENT);
	TW_UINT16 setOne(TW_UINT16 cap, TW_UINT16 itemType, double value);
	// MSG_SET of an array of TWTY_UINT16 items.
	TW_UINT16 setArray(TW_UINT16 cap, const std::vector<TW_UINT16> &items);
	// MSG_GET of an enumeration or array: its numbers, current and default index.
	TW_UINT16 getList(TW_UINT16 cap, std::vector<double> *values, TW_UINT16 *container, uint32_t *current = nullptr,
			  uint32_t *defaultIndex = nullptr);
	TW_UINT16 setFrame(double left, double top, double right, double bottom);

	// ENABLEDS without UI and the wait for MSG_XFERREADY (callback, or the
	// message loop with DAT_EVENT). False when it did not come.
	bool enableAndWait(bool showUI = false);
	// Waits for a message from the source (callback, or the message loop
	// with DAT_EVENT) since the last forgetMessages.
	bool waitForMessage(TW_UINT16 wanted, DWORD timeoutMs);
	void forgetMessages();
	// The handle functions of the manager, or Global* for a 1.x manager.
	void *lock(TW_HANDLE handle);
	void unlock(TW_HANDLE handle);
	void release(TW_HANDLE handle);

	TW_IDENTITY &source() { return source_; }

private:
	HMODULE module_ = nullptr;
	DSMENTRYPROC entry_ = nullptr;
	TW_ENTRYPOINT managerEntry_{};
	bool hasEntry_ = false;
	bool callbacks_ = false;
	bool managerOpen_ = false;
	bool sourceOpen_ = false;
	HWND parent_ = nullptr;
	bool ownWindow_ = false;
	TW_IDENTITY app_{};
	TW_IDENTITY source_{};
};

} // namespace torvane::twaintest
