// SPDX-License-Identifier: MIT
// The TCP wire between the device driver and the simulated scanner.
//
// Under Wine a kernel driver runs inside winedevice.exe, an ordinary process,
// so the driver reaches the simulator with Winsock (host_io.c). It must not
// import kernel32.dll or ntdll.dll itself: Wine's loader then takes it for an
// ordinary DLL and calls its entry point as DllMain. Threads, locks and events
// are therefore ntoskrnl's (torvane_usbscan.c), which sees only this
// interface: the user-mode and the ddk/ headers stay apart.
#pragma once

#include <stddef.h>
#include <stdint.h>

typedef uintptr_t WireSocket;
#define WIRE_NO_SOCKET ((WireSocket) ~(uintptr_t)0)

enum WireOutcome {
	WIRE_OK = 0,
	WIRE_CLOSED,	// the simulator closed the connection: the device is gone
	WIRE_TIMEOUT,	// no reply within the time-out
	WIRE_CANCELLED, // *cancel was set while waiting
	WIRE_REFUSED	// the simulator has no scanner under that number
};

// WSAStartup; false when Winsock cannot be had.
int hostStartup(void);
void hostShutdown(void);

// Connects to 127.0.0.1:port and attaches the connection to usbscanN.
// WIRE_OK with *socket set, WIRE_REFUSED, or WIRE_CLOSED (nothing listens,
// or port 0: no simulator named).
enum WireOutcome wireConnect(uint16_t port, uint32_t number, WireSocket *socket);
// Sends all `length` bytes.
enum WireOutcome wireSend(WireSocket socket, const void *data, size_t length);
// Receives exactly `length` bytes. `timeoutMs` 0 waits for ever (the time
// is counted in the 50 ms slices of the wait); the wait ends early when
// *cancel becomes non-zero (looked at every slice, and at once after
// wireWake).
enum WireOutcome wireReceive(WireSocket socket, void *data, size_t length, uint32_t timeoutMs,
			     volatile long *cancel);
// Wakes a wireReceive on `socket` from another thread (shuts it down).
void wireWake(WireSocket socket);
void wireClose(WireSocket socket);
