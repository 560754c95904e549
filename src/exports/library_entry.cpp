// SPDX-License-Identifier: MIT
// The library entry: process attach and detach. On Linux the shared object's
// constructor and destructor; on Windows DllMain.

#include "driver/driver_state.h"

#if defined(_WIN32)
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID)
{
	if (reason == DLL_PROCESS_ATTACH)
		torvane::driver::processAttach();
	else if (reason == DLL_PROCESS_DETACH)
		torvane::driver::processDetach();
	return TRUE;
}
#else
__attribute__((constructor)) static void attachLibrary()
{
	torvane::driver::processAttach();
}

__attribute__((destructor)) static void detachLibrary()
{
	torvane::driver::processDetach();
}
#endif
