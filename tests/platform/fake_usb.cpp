// SPDX-License-Identifier: MIT
// The libusb calls the driver makes, served by imaginary devices.

#include "fake_usb.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include <libusb.h>

struct libusb_context {
	int unused;
};

struct libusb_device {
	size_t index;
};

struct libusb_device_handle {
	size_t index;
};

namespace fake_usb {
namespace {

std::recursive_mutex fakeMutex;
std::vector<Device> devices;
std::vector<std::unique_ptr<libusb_device>> deviceObjects;
libusb_context context;

struct Pending {
	libusb_transfer *transfer;
	bool cancelled;
};
std::vector<Pending> pending;

constexpr uint8_t kBulkIn = 0x81;
constexpr uint8_t kBulkOut = 0x02;
constexpr uint8_t kInterruptIn = 0x83;

bool peerComplete(Peer &peer, libusb_transfer &transfer)
{
	uint32_t count = 0;
	bool done = true;
	bool ok = false;
	const auto length = static_cast<uint32_t>(transfer.length);
	if (transfer.endpoint == kBulkOut) {
		ok = peer.write(transfer.buffer, length, &count);
	} else if (transfer.endpoint == kBulkIn) {
		const Peer::Read read = peer.read(transfer.buffer, length, &count);
		done = read != Peer::Read::NotYet;
		ok = read == Peer::Read::Done;
	} else if (transfer.endpoint == kInterruptIn) {
		done = ok = peer.report(transfer.buffer, length, &count);
	}
	if (!done)
		return false;
	transfer.actual_length = static_cast<int>(count);
	transfer.status = ok ? LIBUSB_TRANSFER_COMPLETED : LIBUSB_TRANSFER_ERROR;
	return true;
}

// Tries to finish a transfer; true when it has a result.
bool tryComplete(Pending &entry)
{
	libusb_transfer *transfer = entry.transfer;
	Device &device = devices.at(transfer->dev_handle->index);
	if (entry.cancelled) {
		transfer->status = LIBUSB_TRANSFER_CANCELLED;
		return true;
	}
	if (device.peer)
		return peerComplete(*device.peer, *transfer);
	if (transfer->endpoint == kBulkOut) {
		device.written.emplace_back(transfer->buffer, transfer->buffer + transfer->length);
		transfer->actual_length = transfer->length;
		transfer->status = LIBUSB_TRANSFER_COMPLETED;
		return true;
	}
	if (transfer->endpoint == kBulkIn) {
		if (device.bulkIn.empty())
			return false;
		const size_t n = std::min<size_t>(device.bulkIn.size(), static_cast<size_t>(transfer->length));
		std::copy_n(device.bulkIn.begin(), n, transfer->buffer);
		device.bulkIn.erase(device.bulkIn.begin(), device.bulkIn.begin() + static_cast<std::ptrdiff_t>(n));
		transfer->actual_length = static_cast<int>(n);
		transfer->status = LIBUSB_TRANSFER_COMPLETED;
		return true;
	}
	if (transfer->endpoint == kInterruptIn) {
		if (device.interruptReports.empty())
			return false;
		const std::vector<uint8_t> report = device.interruptReports.front();
		device.interruptReports.pop_front();
		const size_t n = std::min<size_t>(report.size(), static_cast<size_t>(transfer->length));
		std::copy_n(report.begin(), n, transfer->buffer);
		transfer->actual_length = static_cast<int>(n);
		transfer->status = LIBUSB_TRANSFER_COMPLETED;
		return true;
	}
	transfer->status = LIBUSB_TRANSFER_ERROR;
	return true;
}

// Gives back every transfer that has a result; callbacks run unlocked, as
// libusb runs them outside its own locks.
void handleEvents()
{
	std::vector<libusb_transfer *> done;
	{
		std::lock_guard<std::recursive_mutex> guard(fakeMutex);
		for (auto it = pending.begin(); it != pending.end();) {
			if (tryComplete(*it)) {
				done.push_back(it->transfer);
				it = pending.erase(it);
			} else {
				++it;
			}
		}
	}
	for (libusb_transfer *transfer : done)
		transfer->callback(transfer);
}

} // namespace

void attach(std::vector<Device> list)
{
	std::lock_guard<std::recursive_mutex> guard(fakeMutex);
	devices = std::move(list);
	deviceObjects.clear();
	for (size_t i = 0; i < devices.size(); ++i)
		deviceObjects.push_back(std::make_unique<libusb_device>(libusb_device{ i }));
}

Device snapshot(size_t index)
{
	std::lock_guard<std::recursive_mutex> guard(fakeMutex);
	return devices.at(index);
}

int pendingTransfers()
{
	std::lock_guard<std::recursive_mutex> guard(fakeMutex);
	return static_cast<int>(pending.size());
}

void lock()
{
	fakeMutex.lock();
}

void unlock()
{
	fakeMutex.unlock();
}

Device &deviceAt(size_t index)
{
	return devices.at(index);
}

} // namespace fake_usb

using namespace fake_usb;

extern "C" {

int LIBUSB_CALL libusb_init(libusb_context **ctx)
{
	*ctx = &context;
	return 0;
}

ssize_t LIBUSB_CALL libusb_get_device_list(libusb_context *, libusb_device ***list)
{
	std::lock_guard<std::recursive_mutex> guard(fakeMutex);
	auto **array = static_cast<libusb_device **>(std::calloc(deviceObjects.size() + 1, sizeof(libusb_device *)));
	for (size_t i = 0; i < deviceObjects.size(); ++i)
		array[i] = deviceObjects[i].get();
	*list = array;
	return static_cast<ssize_t>(deviceObjects.size());
}

void LIBUSB_CALL libusb_free_device_list(libusb_device **list, int)
{
	std::free(list);
}

int LIBUSB_CALL libusb_get_device_descriptor(libusb_device *dev, libusb_device_descriptor *desc)
{
	std::lock_guard<std::recursive_mutex> guard(fakeMutex);
	const Device &device = devices.at(dev->index);
	*desc = {};
	desc->bLength = LIBUSB_DT_DEVICE_SIZE;
	desc->bDescriptorType = LIBUSB_DT_DEVICE;
	desc->idVendor = device.vendorId;
	desc->idProduct = device.productId;
	desc->bcdDevice = device.release;
	desc->bNumConfigurations = 1;
	return 0;
}

uint8_t LIBUSB_CALL libusb_get_bus_number(libusb_device *dev)
{
	std::lock_guard<std::recursive_mutex> guard(fakeMutex);
	return devices.at(dev->index).bus;
}

int LIBUSB_CALL libusb_get_port_numbers(libusb_device *dev, uint8_t *port_numbers, int port_numbers_len)
{
	std::lock_guard<std::recursive_mutex> guard(fakeMutex);
	const std::vector<uint8_t> &ports = devices.at(dev->index).ports;
	if (static_cast<int>(ports.size()) > port_numbers_len)
		return LIBUSB_ERROR_OVERFLOW;
	std::copy(ports.begin(), ports.end(), port_numbers);
	return static_cast<int>(ports.size());
}

int LIBUSB_CALL libusb_get_active_config_descriptor(libusb_device *dev, libusb_config_descriptor **config)
{
	bool interruptPipe = false;
	{
		std::lock_guard<std::recursive_mutex> guard(fakeMutex);
		interruptPipe = devices.at(dev->index).withInterruptPipe;
	}
	// Interface 0 has a lone interrupt pipe (as a hub-like function might),
	// interface 1 the scanner's pipes: the driver must pick interface 1.
	auto *endpoints = new libusb_endpoint_descriptor[4]{};
	endpoints[0].bEndpointAddress = 0x84;
	endpoints[0].bmAttributes = LIBUSB_TRANSFER_TYPE_INTERRUPT;
	endpoints[1].bEndpointAddress = kBulkIn;
	endpoints[1].bmAttributes = LIBUSB_TRANSFER_TYPE_BULK;
	endpoints[2].bEndpointAddress = kBulkOut;
	endpoints[2].bmAttributes = LIBUSB_TRANSFER_TYPE_BULK;
	endpoints[3].bEndpointAddress = kInterruptIn;
	endpoints[3].bmAttributes = LIBUSB_TRANSFER_TYPE_INTERRUPT;
	auto *settings = new libusb_interface_descriptor[2]{};
	settings[0].bInterfaceNumber = 0;
	settings[0].bNumEndpoints = 1;
	settings[0].endpoint = endpoints;
	settings[1].bInterfaceNumber = 1;
	settings[1].bNumEndpoints = interruptPipe ? 3 : 2;
	settings[1].endpoint = endpoints + 1;
	auto *interfaces = new libusb_interface[2]{};
	interfaces[0].altsetting = settings;
	interfaces[0].num_altsetting = 1;
	interfaces[1].altsetting = settings + 1;
	interfaces[1].num_altsetting = 1;
	auto *descriptor = new libusb_config_descriptor{};
	descriptor->bNumInterfaces = 2;
	descriptor->interface = interfaces;
	*config = descriptor;
	return 0;
}

void LIBUSB_CALL libusb_free_config_descriptor(libusb_config_descriptor *config)
{
	if (!config)
		return;
	delete[] config->interface[0].altsetting[0].endpoint;
	delete[] config->interface[0].altsetting;
	delete[] config->interface;
	delete config;
}

int LIBUSB_CALL libusb_open(libusb_device *dev, libusb_device_handle **handle)
{
	std::lock_guard<std::recursive_mutex> guard(fakeMutex);
	Device &device = devices.at(dev->index);
	if (device.peer)
		device.peer->opened();
	++device.opens;
	*handle = new libusb_device_handle{ dev->index };
	return 0;
}

void LIBUSB_CALL libusb_close(libusb_device_handle *handle)
{
	std::lock_guard<std::recursive_mutex> guard(fakeMutex);
	Device &device = devices.at(handle->index);
	if (device.peer)
		device.peer->closed();
	--device.opens;
	delete handle;
}

int LIBUSB_CALL libusb_set_auto_detach_kernel_driver(libusb_device_handle *, int)
{
	return 0;
}

int LIBUSB_CALL libusb_claim_interface(libusb_device_handle *handle, int interface_number)
{
	std::lock_guard<std::recursive_mutex> guard(fakeMutex);
	Device &device = devices.at(handle->index);
	if (device.refuseClaim || device.claimed || interface_number != 1)
		return LIBUSB_ERROR_BUSY;
	++device.claimed;
	++device.totalClaims;
	return 0;
}

int LIBUSB_CALL libusb_release_interface(libusb_device_handle *handle, int interface_number)
{
	std::lock_guard<std::recursive_mutex> guard(fakeMutex);
	Device &device = devices.at(handle->index);
	if (!device.claimed || interface_number != 1)
		return LIBUSB_ERROR_NOT_FOUND;
	--device.claimed;
	return 0;
}

libusb_transfer *LIBUSB_CALL libusb_alloc_transfer(int)
{
	return static_cast<libusb_transfer *>(std::calloc(1, sizeof(libusb_transfer)));
}

void LIBUSB_CALL libusb_free_transfer(libusb_transfer *transfer)
{
	std::lock_guard<std::recursive_mutex> guard(fakeMutex);
	for (const Pending &entry : pending)
		if (entry.transfer == transfer)
			std::abort(); // freed while libusb still owns it
	std::free(transfer);
}

int LIBUSB_CALL libusb_submit_transfer(libusb_transfer *transfer)
{
	std::lock_guard<std::recursive_mutex> guard(fakeMutex);
	if (transfer->endpoint == kBulkIn || transfer->endpoint == kBulkOut)
		devices.at(transfer->dev_handle->index).bulkTimeouts.push_back(static_cast<int>(transfer->timeout));
	pending.push_back({ transfer, false });
	return 0;
}

int LIBUSB_CALL libusb_cancel_transfer(libusb_transfer *transfer)
{
	std::lock_guard<std::recursive_mutex> guard(fakeMutex);
	for (Pending &entry : pending) {
		if (entry.transfer == transfer) {
			entry.cancelled = true;
			return 0;
		}
	}
	return LIBUSB_ERROR_NOT_FOUND;
}

int LIBUSB_CALL libusb_handle_events_completed(libusb_context *, int *completed)
{
	handleEvents();
	if (!completed || !*completed)
		std::this_thread::sleep_for(std::chrono::milliseconds(1)); // as if waiting for the bus
	return 0;
}

int LIBUSB_CALL libusb_handle_events_timeout_completed(libusb_context *, struct timeval *, int *)
{
	handleEvents();
	return 0;
}

} // extern "C"
