// SPDX-License-Identifier: MIT
// One open Torvane device: its options, its buttons, and a scan whose image a
// reader thread moves from the driver's ReadScan into a socket pair, whose
// read end is the select fd.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include <sane/sane.h>

#include "client/driver_session.h"
#include "device_options.h"

namespace torvane::sane {

class ScanDevice
{
public:
	// Finds the scanner, checks it is the library's model, reads its buttons.
	static SANE_Status open(client::DriverLibrary &library, std::unique_ptr<ScanDevice> *device);
	~ScanDevice();
	ScanDevice(const ScanDevice &) = delete;
	ScanDevice &operator=(const ScanDevice &) = delete;

	DeviceOptions &options() { return *options_; }
	bool scanning() const { return cycleOpen_; }
	// A sensor option: whether button `number` was pressed since the last read.
	SANE_Bool takeButtonPress(int number);

	SANE_Status start();
	SANE_Status read(SANE_Byte *data, SANE_Int maxLength, SANE_Int *length);
	SANE_Status setIoMode(bool nonBlocking);
	SANE_Status selectFd(SANE_Int *fd);
	// Async-signal-safe: atomic stores, DoCancel, shutdown(2). The pending
	// sane_read then ends with SANE_STATUS_CANCELLED.
	void cancel();
	// Ends the scan cycle, if one is open: the reader joined, StopScan.
	void finishScan();
	// Ends everything, for sane_close: the scan, and TerminateDriver.
	void close();

private:
	ScanDevice(client::DriverLibrary &library) : library_(library), session_(library) {}

	// True from sane_start until the frame's end was read or it was cancelled.
	bool frameUnderWay() const;
	// Runs `attempt` (a driver call giving a client::Outcome) again while the
	// scanner is busy with another program (for the time torvane.conf gives)
	// or warming up, until it succeeds, fails otherwise or sane_cancel comes.
	template<typename Attempt>
	client::Outcome retryWhileBusy(Attempt attempt);
	// Sleeps until the next try; false when sane_cancel came.
	bool pauseUnlessCancelled() const;
	SANE_Status setUpWithRetry(const ScanParameter &parameter);
	static void logStartFailure(int32_t code);
	void readerLoop(uint64_t imageBytes, uint32_t bytesPerLine);

	client::DriverLibrary &library_;
	client::DriverSession session_;
	std::unique_ptr<DeviceOptions> options_;
	unsigned pressedButtons_ = 0; // bit N-1: button N pressed, not yet read

	// The scan. cycleOpen_ and the thread are the front end thread's; the
	// atomics are also touched by the reader thread and by cancel().
	bool cycleOpen_ = false;
	std::thread reader_;
	std::atomic<int> readFd_{ -1 }, writeFd_{ -1 };
	std::atomic<bool> cancelRequested_{ false };
	std::atomic<bool> driverScanning_{ false }; // between SetScanParameter and StopScan
	std::atomic<SANE_Status> readerStatus_{ SANE_STATUS_GOOD };
	SANE_Status endStatus_ = SANE_STATUS_INVAL; // what sane_read answers when no scan runs
};

} // namespace torvane::sane
