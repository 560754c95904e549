// SPDX-License-Identifier: MIT
// POSIX: device files \\.\usbscanN on real scanners through libusb.
//
// A still-image device file moves the scanner's bytes on its bulk pipes
// (WriteFile out, ReadFile in) and its button reports on the interrupt pipe.
// Here each open device file shares one libusb handle per scanner within the
// process, with the scanner's interface claimed for as long as any file of it
// is open. The driver opens a file per command exchange and holds the
// machine-wide exchange lock meanwhile, so other processes get the interface
// between exchanges; only an outstanding button wait holds it longer.
//
// Every transfer is asynchronous underneath, so that an IoInterrupt can
// cancel it from another thread (StopScan ending a stalled acquisition).

#include <algorithm>
#include <array>
#include <atomic>
#include <climits>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

#include <libusb.h>

#include "driver/debug_log.h"
#include "platform/posix/device_backends.h"
#include "platform/posix/fork_guard.h"
#include "platform/posix/io_interrupt.h"
#include "platform/posix/usb_numbering.h"

namespace torvane::platform {

namespace {

libusb_context *usbContext()
{
	// Created once for the process and kept: device files may be open on
	// any thread until the library goes.
	static libusb_context *const context = [] {
		libusb_context *created = nullptr;
		return libusb_init(&created) == 0 ? created : nullptr;
	}();
	return context;
}

// The pipes of the scanner's interface: the first interface with a bulk
// pipe in each direction; its interrupt-in pipe, if any, carries the buttons.
struct Pipes {
	int interfaceNumber = -1;
	uint8_t bulkIn = 0;
	uint8_t bulkOut = 0;
	uint8_t interruptIn = 0;
};

Pipes pipesOf(const libusb_config_descriptor &config)
{
	for (int i = 0; i < config.bNumInterfaces; ++i) {
		const libusb_interface &interface = config.interface[i];
		if (interface.num_altsetting < 1)
			continue;
		const libusb_interface_descriptor &setting = interface.altsetting[0];
		Pipes pipes;
		for (int e = 0; e < setting.bNumEndpoints; ++e) {
			const libusb_endpoint_descriptor &endpoint = setting.endpoint[e];
			const int type = endpoint.bmAttributes & LIBUSB_TRANSFER_TYPE_MASK;
			const bool in = (endpoint.bEndpointAddress & LIBUSB_ENDPOINT_DIR_MASK) == LIBUSB_ENDPOINT_IN;
			uint8_t *slot = nullptr;
			if (type == LIBUSB_TRANSFER_TYPE_BULK)
				slot = in ? &pipes.bulkIn : &pipes.bulkOut;
			else if (type == LIBUSB_TRANSFER_TYPE_INTERRUPT && in)
				slot = &pipes.interruptIn;
			if (slot && *slot == 0)
				*slot = endpoint.bEndpointAddress;
		}
		if (pipes.bulkIn && pipes.bulkOut) {
			pipes.interfaceNumber = setting.bInterfaceNumber;
			return pipes;
		}
	}
	return {};
}

// One scanner opened by this process. The libusb handle stays open from one
// device file to the next (opening the node costs a resume of the device and
// a change of libusb's event sources), but the interface is claimed only
// while a device file is open, so that other programs can take their turn.
struct OpenScanner {
	OpenScanner() = default;
	OpenScanner(const OpenScanner &) = delete;
	OpenScanner &operator=(const OpenScanner &) = delete;
	~OpenScanner()
	{
		if (users > 0)
			libusb_release_interface(handle, pipes.interfaceNumber);
		if (handle) {
			libusb_close(handle);
			usbDeviceClosed();
		}
	}

	libusb_device_handle *handle = nullptr;
	libusb_device *device = nullptr; // as libusb lists it while attached
	Pipes pipes;
	uint16_t vendorId = 0;
	uint16_t productId = 0;
	uint16_t release = 0;
	int users = 0; // open device files; the interface is claimed while > 0
	// Unplugged: libusb reported that the device is gone. Every later
	// transfer fails at once, and the next open finds the scanner afresh
	// (on its new port, if it comes back) instead of this dead handle.
	std::atomic<bool> gone{ false };
};

using PortPath = std::vector<uint8_t>; // bus number, then the hub ports

// The scanners this process has opened, by port. Claims and releases happen
// under scannersMutex, so that a claim by the next open never meets the
// claim of the file being closed. The map is kept for the process, like the
// libusb context: no libusb call runs in the static destructors at exit,
// while other threads may still be in libusb. It is made on the first open
// only, so a process that never reaches USB allocates nothing here.
std::mutex scannersMutex;
std::map<PortPath, std::shared_ptr<OpenScanner>> &openScannersMap()
{
	static auto &scanners = *new std::map<PortPath, std::shared_ptr<OpenScanner>>;
	return scanners;
}

// The attached devices as libusb lists them, with what numbering needs.
struct DeviceList {
	DeviceList()
	{
		const ssize_t count = usbContext() ? libusb_get_device_list(usbContext(), &devices) : -1;
		for (ssize_t i = 0; i < count; ++i) {
			usb::AttachedDevice attached;
			libusb_device_descriptor descriptor{};
			if (libusb_get_device_descriptor(devices[i], &descriptor) == 0) {
				attached.vendorId = descriptor.idVendor;
				attached.productId = descriptor.idProduct;
			}
			attached.bus = libusb_get_bus_number(devices[i]);
			uint8_t ports[8];
			const int depth = libusb_get_port_numbers(devices[i], ports, sizeof(ports));
			if (depth > 0)
				attached.ports.assign(ports, ports + depth);
			entries.push_back(std::move(attached));
		}
	}
	~DeviceList()
	{
		if (devices)
			libusb_free_device_list(devices, 1);
	}
	DeviceList(const DeviceList &) = delete;
	DeviceList &operator=(const DeviceList &) = delete;

	PortPath portPathOf(size_t index) const
	{
		PortPath path{ entries[index].bus };
		path.insert(path.end(), entries[index].ports.begin(), entries[index].ports.end());
		return path;
	}

	libusb_device **devices = nullptr;
	std::vector<usb::AttachedDevice> entries;
};

// Why a scanner could not be opened goes to the log: most often the user
// lacks access to the device node, which the log is the place to tell.
void logOpenFailure(const libusb_device_descriptor &descriptor, uint8_t bus, const char *step, int error)
{
	if (error == LIBUSB_ERROR_ACCESS)
		driver::logLine(driver::kMainLog, 3,
				"USB scanner %04X:%04X on bus %u: no access to its device node (%s); a udev rule must "
				"give the user read and write access, e.g. through the scanner group",
				descriptor.idVendor, descriptor.idProduct, bus, libusb_error_name(error));
	else
		driver::logLine(driver::kMainLog, 3, "USB scanner %04X:%04X on bus %u: %s failed (%s)",
				descriptor.idVendor, descriptor.idProduct, bus, step, libusb_error_name(error));
}

std::shared_ptr<OpenScanner> openScanner(libusb_device *device)
{
	libusb_device_descriptor descriptor{};
	libusb_config_descriptor *config = nullptr;
	if (libusb_get_device_descriptor(device, &descriptor) != 0 ||
	    libusb_get_active_config_descriptor(device, &config) != 0)
		return nullptr;
	auto scanner = std::make_shared<OpenScanner>();
	scanner->pipes = pipesOf(*config);
	libusb_free_config_descriptor(config);
	if (scanner->pipes.interfaceNumber < 0)
		return nullptr;
	if (const int rc = libusb_open(device, &scanner->handle); rc != 0) {
		scanner->handle = nullptr;
		logOpenFailure(descriptor, libusb_get_bus_number(device), "open", rc);
		return nullptr;
	}
	// A child forked while it is open gives up its copy (fork_guard.h).
	usbDeviceOpened();
	// A kernel driver bound to the interface is detached while we hold it.
	libusb_set_auto_detach_kernel_driver(scanner->handle, 1);
	scanner->device = device;
	scanner->vendorId = descriptor.idVendor;
	scanner->productId = descriptor.idProduct;
	scanner->release = descriptor.bcdDevice;
	return scanner;
}

bool claimFirstUse(OpenScanner &scanner)
{
	if (scanner.users > 0)
		return true;
	const int rc = libusb_claim_interface(scanner.handle, scanner.pipes.interfaceNumber);
	if (rc == 0)
		return true;
	libusb_device_descriptor descriptor{};
	libusb_get_device_descriptor(scanner.device, &descriptor);
	logOpenFailure(descriptor, libusb_get_bus_number(scanner.device), "claiming the interface", rc);
	if (rc == LIBUSB_ERROR_NO_DEVICE)
		scanner.gone = true;
	return false;
}

// Handles of scanners no longer attached where they were are let go (they
// close with their last device file).
void forgetDetached(const std::vector<PortPath> &attached)
{
	auto &openScanners = openScannersMap();
	for (auto it = openScanners.begin(); it != openScanners.end();) {
		const bool present = std::find(attached.begin(), attached.end(), it->first) != attached.end();
		it = present && !it->second->gone ? std::next(it) : openScanners.erase(it);
	}
}

// A counted use of an open scanner; the last one releases the interface.
class ScannerUse
{
public:
	static std::unique_ptr<ScannerUse> open(const char *name)
	{
		const std::optional<unsigned> number = usb::deviceNumberOf(name);
		if (!number)
			return nullptr;
		DeviceList list;
		const std::vector<size_t> order = usb::scannerOrder(list.entries);
		std::vector<PortPath> ports;
		for (size_t index : order)
			ports.push_back(list.portPathOf(index));

		std::lock_guard<std::mutex> guard(scannersMutex);
		forgetDetached(ports);
		if (*number >= order.size())
			return nullptr;
		libusb_device *device = list.devices[order[*number]];
		std::shared_ptr<OpenScanner> &cached = openScannersMap()[ports[*number]];
		// The same port may hold a device plugged in since: another handle.
		if (!cached || cached->device != device)
			cached = openScanner(device);
		std::shared_ptr<OpenScanner> scanner = cached;
		if (!scanner || !claimFirstUse(*scanner)) {
			openScannersMap().erase(ports[*number]);
			return nullptr;
		}
		++scanner->users;
		return std::unique_ptr<ScannerUse>(new ScannerUse(std::move(scanner)));
	}

	~ScannerUse()
	{
		std::lock_guard<std::mutex> guard(scannersMutex);
		if (--scanner_->users == 0)
			libusb_release_interface(scanner_->handle, scanner_->pipes.interfaceNumber);
		scanner_.reset();
	}
	ScannerUse(const ScannerUse &) = delete;
	ScannerUse &operator=(const ScannerUse &) = delete;

	OpenScanner &scanner() const { return *scanner_; }

private:
	explicit ScannerUse(std::shared_ptr<OpenScanner> scanner) : scanner_(std::move(scanner)) {}

	std::shared_ptr<OpenScanner> scanner_;
};

// What a finished transfer means for the scanner: a halted pipe is cleared
// for the next transfer (the device answered this one with a STALL), and a
// scanner that is gone is marked so.
void afterTransfer(OpenScanner &scanner, uint8_t endpoint, libusb_transfer_status status)
{
	if (status == LIBUSB_TRANSFER_STALL && libusb_clear_halt(scanner.handle, endpoint) == LIBUSB_ERROR_NO_DEVICE)
		status = LIBUSB_TRANSFER_NO_DEVICE;
	if (status == LIBUSB_TRANSFER_NO_DEVICE)
		scanner.gone = true;
}

void LIBUSB_CALL markCompleted(libusb_transfer *transfer)
{
	*static_cast<int *>(transfer->user_data) = 1;
}

// Handles events until the transfer has come back; libusb owns it until then.
void awaitCompletion(libusb_transfer *transfer, int &completed)
{
	while (!completed) {
		const int rc = libusb_handle_events_completed(usbContext(), &completed);
		if (rc < 0 && rc != LIBUSB_ERROR_INTERRUPTED && !completed)
			libusb_cancel_transfer(transfer);
	}
}

class UsbDeviceFile : public DeviceFile, public InterruptibleIo
{
public:
	explicit UsbDeviceFile(std::unique_ptr<ScannerUse> use) : use_(std::move(use)) {}

	bool enrol() { return registration_.enrol(this); }

	void interruptIo() override
	{
		std::lock_guard<std::mutex> guard(mutex_);
		interrupted_ = true;
		if (current_)
			libusb_cancel_transfer(current_);
	}

	bool write(const void *data, uint32_t length, uint32_t *written) override
	{
		// libusb takes a writable buffer but only reads an OUT transfer's.
		return run(pipes().bulkOut, LIBUSB_TRANSFER_TYPE_BULK, const_cast<void *>(data), length,
			   timeouts_.writeMs, written);
	}

	bool read(void *data, uint32_t length, uint32_t *got) override
	{
		return run(pipes().bulkIn, LIBUSB_TRANSFER_TYPE_BULK, data, length, timeouts_.readMs, got);
	}

	bool control(uint32_t code, const void *in, uint32_t inLength, void *out, uint32_t outLength,
		     uint32_t *returned) override
	{
		if (returned)
			*returned = 0;
		switch (code) {
		case protocol::kIoctlSetTimeout: {
			const std::optional<usb::Timeouts> timeouts =
				usb::timeoutsFromRecord(static_cast<const uint8_t *>(in), in ? inLength : 0);
			if (timeouts)
				timeouts_ = *timeouts;
			return timeouts.has_value();
		}
		case protocol::kIoctlGetDeviceDescriptor: {
			const OpenScanner &scanner = use_->scanner();
			if (scanner.gone)
				return false;
			const std::array<uint8_t, 8> record =
				usb::deviceDescriptorRecord(scanner.vendorId, scanner.productId, scanner.release);
			if (!out || outLength < record.size())
				return false;
			std::memcpy(out, record.data(), record.size());
			if (returned)
				*returned = record.size();
			return true;
		}
		case protocol::kIoctlWaitOnDeviceEvent: {
			uint32_t got = 0;
			const bool ok = pipes().interruptIn != 0 &&
					run(pipes().interruptIn, LIBUSB_TRANSFER_TYPE_INTERRUPT, out, out ? outLength : 0,
					    timeouts_.eventMs, &got);
			if (returned)
				*returned = got;
			return ok;
		}
		default:
			return false;
		}
	}

private:
	const Pipes &pipes() const { return use_->scanner().pipes; }

	// One transfer, waited for, unless the thread's interrupt fires first.
	bool run(uint8_t endpoint, uint8_t type, void *data, uint32_t length, uint32_t timeoutMs, uint32_t *done)
	{
		*done = 0;
		if (length == 0)
			return true;
		OpenScanner &scanner = use_->scanner();
		if (length > static_cast<uint32_t>(INT_MAX) || endpoint == 0 || scanner.gone)
			return false;
		libusb_transfer *transfer = libusb_alloc_transfer(0);
		if (!transfer)
			return false;
		int completed = 0;
		libusb_fill_bulk_transfer(transfer, scanner.handle, endpoint, static_cast<unsigned char *>(data),
					  static_cast<int>(length), markCompleted, &completed, timeoutMs);
		transfer->type = type;
		{
			std::lock_guard<std::mutex> guard(mutex_);
			const int rc = interrupted_ ? LIBUSB_ERROR_INTERRUPTED : libusb_submit_transfer(transfer);
			if (rc != 0) {
				if (rc == LIBUSB_ERROR_NO_DEVICE)
					scanner.gone = true;
				libusb_free_transfer(transfer);
				return false;
			}
			current_ = transfer;
		}
		awaitCompletion(transfer, completed);
		{
			std::lock_guard<std::mutex> guard(mutex_);
			current_ = nullptr;
		}
		*done = static_cast<uint32_t>(transfer->actual_length);
		const bool ok = transfer->status == LIBUSB_TRANSFER_COMPLETED;
		afterTransfer(scanner, endpoint, transfer->status);
		libusb_free_transfer(transfer);
		return ok;
	}

	std::unique_ptr<ScannerUse> use_;
	usb::Timeouts timeouts_ = usb::kDefaultTimeouts;
	std::mutex mutex_;
	libusb_transfer *current_ = nullptr;
	bool interrupted_ = false;
	// Last, so that it goes first: no interrupt reaches a file being closed.
	InterruptRegistration registration_;
};

// The overlapped button wait: an interrupt transfer submitted by start() and
// left outstanding; poll() lets libusb handle what has arrived, without
// waiting, and looks whether the transfer has come back.
class UsbButtonWait : public ButtonWait
{
public:
	explicit UsbButtonWait(std::unique_ptr<ScannerUse> use) : use_(std::move(use)) {}

	~UsbButtonWait() override
	{
		if (!transfer_)
			return;
		if (!completed_) {
			libusb_cancel_transfer(transfer_);
			awaitCompletion(transfer_, completed_);
		}
		libusb_free_transfer(transfer_);
	}
	UsbButtonWait(const UsbButtonWait &) = delete;
	UsbButtonWait &operator=(const UsbButtonWait &) = delete;

	Start start() override
	{
		const uint8_t endpoint = use_->scanner().pipes.interruptIn;
		if (transfer_ || endpoint == 0 || use_->scanner().gone)
			return Start::Failed;
		transfer_ = libusb_alloc_transfer(0);
		if (!transfer_)
			return Start::NoEvent;
		std::memset(report_, 0, sizeof(report_));
		libusb_fill_interrupt_transfer(transfer_, use_->scanner().handle, endpoint, report_, sizeof(report_),
					       markCompleted, &completed_, 0);
		if (libusb_submit_transfer(transfer_) != 0) {
			libusb_free_transfer(transfer_);
			transfer_ = nullptr;
			return Start::Failed;
		}
		return Start::Pending;
	}

	Poll poll(uint8_t report[8], uint32_t *count) override
	{
		*count = 0;
		if (!transfer_)
			return Poll::Ended;
		if (!completed_) {
			timeval now{};
			libusb_handle_events_timeout_completed(usbContext(), &now, &completed_);
			if (!completed_)
				return Poll::Pending;
		}
		if (!reported_) {
			reported_ = true;
			afterTransfer(use_->scanner(), transfer_->endpoint, transfer_->status);
		}
		if (transfer_->status != LIBUSB_TRANSFER_COMPLETED || transfer_->actual_length <= 0)
			return Poll::Ended;
		*count = static_cast<uint32_t>(std::min(transfer_->actual_length, 8));
		std::memcpy(report, report_, *count);
		return Poll::Delivered;
	}

private:
	std::unique_ptr<ScannerUse> use_;
	libusb_transfer *transfer_ = nullptr;
	int completed_ = 0;
	bool reported_ = false;
	uint8_t report_[8] = {};
};

} // namespace

std::unique_ptr<DeviceFile> openUsbDeviceFile(const char *name)
{
	std::unique_ptr<ScannerUse> use = ScannerUse::open(name);
	if (!use)
		return nullptr;
	auto file = std::make_unique<UsbDeviceFile>(std::move(use));
	if (!file->enrol())
		return nullptr;
	return file;
}

bool usbScannerListed()
{
	DeviceList list;
	return !usb::scannerOrder(list.entries).empty();
}

std::unique_ptr<ButtonWait> openUsbButtonWait(const char *name)
{
	std::unique_ptr<ScannerUse> use = ScannerUse::open(name);
	if (!use)
		return nullptr;
	return std::make_unique<UsbButtonWait>(std::move(use));
}

} // namespace torvane::platform
