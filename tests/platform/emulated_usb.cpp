// SPDX-License-Identifier: MIT
// The emulated USB bus: umockdev testbed entries and the usbdevfs ioctls.

#include "emulated_usb.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <span>

#include <dlfcn.h>
#include <link.h>
#include <linux/capability.h>
#include <linux/ioctl.h>
#include <linux/usbdevice_fs.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <umockdev.h>

#include "torvane_sim/virtual_scanner.h"

namespace emulated_usb {

namespace {

using Bytes = std::vector<uint8_t>;

void put16(Bytes &bytes, uint16_t value)
{
	bytes.push_back(static_cast<uint8_t>(value));
	bytes.push_back(static_cast<uint8_t>(value >> 8));
}

Bytes deviceDescriptor(uint8_t deviceClass, uint16_t vendor, uint16_t product, uint16_t release)
{
	Bytes d = { 18, 1, 0x00, 0x02, deviceClass, 0, 0, 64 };
	put16(d, vendor);
	put16(d, product);
	put16(d, release);
	d.insert(d.end(), { 0, 0, 0, 1 });
	return d;
}

void appendEndpoint(Bytes &d, uint8_t address, uint8_t type, uint16_t maxPacket, uint8_t interval)
{
	d.insert(d.end(), { 7, 5, address, type });
	put16(d, maxPacket);
	d.push_back(interval);
}

// Device and configuration descriptors, as sysfs "descriptors" holds them.
Bytes descriptorsOf(const DeviceSpec &spec, bool hub)
{
	Bytes d = deviceDescriptor(hub ? 9 : 0, spec.vendorId, spec.productId, spec.release);
	const uint8_t endpoints = hub ? 1 : (spec.interruptPipe ? 3 : 2);
	const uint16_t total = static_cast<uint16_t>(9 + 9 + 7 * endpoints);
	d.insert(d.end(), { 9, 2 });
	put16(d, total);
	d.insert(d.end(), { 1, 1, 0, 0xC0, 50 });
	const uint8_t cls = hub ? 9 : 0xFF;
	d.insert(d.end(), { 9, 4, 0, 0, endpoints, cls, hub ? uint8_t(0) : uint8_t(0xFF), hub ? uint8_t(0) : uint8_t(0xFF), 0 });
	if (hub) {
		appendEndpoint(d, 0x81, 3, 2, 12);
		return d;
	}
	appendEndpoint(d, kBulkIn, 2, 512, 0);
	appendEndpoint(d, kBulkOut, 2, 512, 0);
	if (spec.interruptPipe)
		appendEndpoint(d, kInterruptIn, 3, 8, 8);
	return d;
}

std::string hex(const Bytes &bytes)
{
	std::string text;
	char pair[3];
	for (uint8_t b : bytes) {
		std::snprintf(pair, sizeof(pair), "%02x", b);
		text += pair;
	}
	return text;
}

// One URB the driver submitted, as the handler keeps it.
struct Urb {
	UMockdevIoctlData *data = nullptr; // the client's struct usbdevfs_urb, resolved
	uint8_t type = 0;
	uint8_t endpoint = 0;
	unsigned flags = 0;
	uint32_t length = 0;
	bool ready = false; // has a result to reap
	bool discarded = false;
	int status = 0;
	uint32_t actual = 0;
	Bytes in; // data for an IN URB, copied to the client when reaped
};

// One open file descriptor on a device node. The virtual scanner sees a
// connection for each claim of the interface: the time a device file is open.
struct Client {
	size_t device = 0;
	uint64_t connection = 0;
	bool claimed = false;
	std::vector<Urb> urbs;
};

struct Device {
	DeviceSpec spec;
	std::string sysPath;
	std::string node;
	bool gone = false;
	std::array<bool, 256> halted{};
	std::array<bool, 256> haltNext{};
	bool driverBound = false;
	DeviceStats stats;
};

} // namespace

class Bus::Private
{
public:
	Private()
	{
		testbed = umockdev_testbed_new();
		handler = umockdev_ioctl_base_new();
		g_signal_connect(handler, "handle-ioctl", G_CALLBACK(&Private::onIoctl), this);
	}

	~Private()
	{
		{
			std::lock_guard<std::mutex> guard(mutex);
			for (auto &[client, state] : clients) {
				g_object_weak_unref(G_OBJECT(client), &Private::onClientGone, this);
				forget(state);
			}
			clients.clear();
		}
		g_object_unref(handler);
		g_object_unref(testbed);
	}

	static gboolean onIoctl(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer self)
	{
		auto *d = static_cast<Private *>(self);
		std::lock_guard<std::mutex> guard(d->mutex);
		return d->handle(client);
	}

	// umockdev lets a client go when its descriptor is closed.
	static void onClientGone(gpointer self, GObject *object)
	{
		auto *d = static_cast<Private *>(self);
		std::lock_guard<std::mutex> guard(d->mutex);
		auto found = d->clients.find(reinterpret_cast<UMockdevIoctlClient *>(object));
		if (found == d->clients.end())
			return;
		d->forget(found->second);
		d->clients.erase(found);
	}

	// A closed descriptor: the kernel drops its URBs and claims.
	void forget(Client &state)
	{
		Device &device = devices[state.device];
		for (Urb &urb : state.urbs)
			g_object_unref(urb.data);
		device.stats.flying -= static_cast<int>(state.urbs.size());
		if (state.claimed)
			unclaim(state, device);
		--device.stats.clients;
	}

	static void unclaim(Client &state, Device &device)
	{
		state.claimed = false;
		--device.stats.claimed;
		if (device.spec.scanner)
			device.spec.scanner->closeConnection(state.connection);
	}

	Client *clientFor(UMockdevIoctlClient *client)
	{
		auto found = clients.find(client);
		if (found != clients.end())
			return &found->second;
		const std::string node = umockdev_ioctl_client_get_devnode(client);
		for (size_t i = 0; i < devices.size(); ++i) {
			if (devices[i].node != node || devices[i].gone)
				continue;
			Client state;
			state.device = i;
			++devices[i].stats.clients;
			g_object_weak_ref(G_OBJECT(client), &Private::onClientGone, this);
			return &clients.emplace(client, std::move(state)).first->second;
		}
		return nullptr;
	}

	template<typename T>
	static T *resolveArg(UMockdevIoctlClient *client, UMockdevIoctlData **data)
	{
		*data = umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0, sizeof(T), nullptr);
		return *data ? static_cast<T *>(static_cast<void *>((*data)->data)) : nullptr;
	}

	static void completeWith(UMockdevIoctlClient *client, UMockdevIoctlData *data, long result, int error)
	{
		umockdev_ioctl_client_complete(client, result, error);
		if (data)
			g_object_unref(data);
	}

	gboolean handle(UMockdevIoctlClient *client)
	{
		const unsigned long request = umockdev_ioctl_client_get_request(client);
		Client *state = clientFor(client);
		if (!state) {
			umockdev_ioctl_client_complete(client, -1, ENODEV);
			return TRUE;
		}
		Device &device = devices[state->device];
		if (device.gone && state->urbs.empty()) {
			umockdev_ioctl_client_complete(client, -1, ENODEV);
			return TRUE;
		}
		UMockdevIoctlData *data = nullptr;
		switch (request) {
		case USBDEVFS_GET_CAPABILITIES: {
			auto *caps = resolveArg<uint32_t>(client, &data);
			*caps = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION |
				USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
			if (device.spec.scatterGather)
				*caps |= USBDEVFS_CAP_BULK_SCATTER_GATHER;
			completeWith(client, data, 0, 0);
			return TRUE;
		}
		case USBDEVFS_CLAIMINTERFACE:
			return claim(client, *state, device, *resolveArg<unsigned>(client, &data), data);
		case USBDEVFS_RELEASEINTERFACE: {
			const unsigned interface = *resolveArg<unsigned>(client, &data);
			if (interface != 0 || !state->claimed)
				return completeWith(client, data, -1, EINVAL), TRUE;
			unclaim(*state, device);
			completeWith(client, data, 0, 0);
			return TRUE;
		}
		case USBDEVFS_GETDRIVER: {
			auto *query = resolveArg<usbdevfs_getdriver>(client, &data);
			if (!device.driverBound || query->interface != 0)
				return completeWith(client, data, -1, ENODATA), TRUE;
			std::snprintf(query->driver, sizeof(query->driver), "%s", device.spec.kernelDriver.c_str());
			completeWith(client, data, 0, 0);
			return TRUE;
		}
		case USBDEVFS_DISCONNECT_CLAIM: {
			auto *query = resolveArg<usbdevfs_disconnect_claim>(client, &data);
			if (device.driverBound) {
				device.driverBound = false;
				++device.stats.detaches;
			}
			return claim(client, *state, device, query->interface, data);
		}
		case USBDEVFS_IOCTL: {
			// Detach or re-attach of the interface's kernel driver.
			auto *query = resolveArg<usbdevfs_ioctl>(client, &data);
			const bool detach = query->ioctl_code == static_cast<int>(USBDEVFS_DISCONNECT);
			const bool attach = query->ioctl_code == static_cast<int>(USBDEVFS_CONNECT);
			if (!detach && !attach)
				return completeWith(client, data, -1, ENOTTY), TRUE;
			if (detach && !device.driverBound)
				return completeWith(client, data, -1, ENODATA), TRUE;
			if (detach)
				++device.stats.detaches;
			if (attach && !device.spec.kernelDriver.empty() && !device.driverBound)
				++device.stats.reattaches;
			device.driverBound = attach && !device.spec.kernelDriver.empty();
			completeWith(client, data, 0, 0);
			return TRUE;
		}
		case USBDEVFS_CLEAR_HALT: {
			const unsigned endpoint = *resolveArg<unsigned>(client, &data) & 0xFF;
			device.halted[endpoint] = false;
			++device.stats.clearHalts;
			completeWith(client, data, 0, 0);
			return TRUE;
		}
		case USBDEVFS_RESET:
		case USBDEVFS_RESETEP:
		case USBDEVFS_SETINTERFACE:
		case USBDEVFS_SETCONFIGURATION:
			umockdev_ioctl_client_complete(client, 0, 0);
			return TRUE;
		case USBDEVFS_SUBMITURB:
			return submit(client, *state, device);
		case USBDEVFS_REAPURB:
		case USBDEVFS_REAPURBNDELAY:
			return reap(client, *state, device);
		case USBDEVFS_DISCARDURB:
			return discard(client, *state, device);
		default: {
			char text[64];
			std::snprintf(text, sizeof(text), "0x%lx", request);
			device.stats.unknownRequests.push_back(text);
			umockdev_ioctl_client_complete(client, -1, ENOTTY);
			return TRUE;
		}
		}
	}

	gboolean claim(UMockdevIoctlClient *client, Client &state, Device &device, unsigned interface,
		       UMockdevIoctlData *data)
	{
		if (interface != 0)
			return completeWith(client, data, -1, ENOENT), TRUE;
		if (device.driverBound)
			return completeWith(client, data, -1, EBUSY), TRUE;
		for (const auto &[other, otherState] : clients)
			if (otherState.device == state.device && otherState.claimed && &otherState != &state)
				return completeWith(client, data, -1, EBUSY), TRUE;
		if (!state.claimed) {
			state.claimed = true;
			++device.stats.claimed;
			++device.stats.totalClaims;
			if (device.spec.scanner)
				state.connection = device.spec.scanner->openConnection();
		}
		completeWith(client, data, 0, 0);
		return TRUE;
	}

	gboolean submit(UMockdevIoctlClient *client, Client &state, Device &device)
	{
		if (device.gone)
			return umockdev_ioctl_client_complete(client, -1, ENODEV), TRUE;
		UMockdevIoctlData *data = nullptr;
		usbdevfs_urb *urb = resolveArg<usbdevfs_urb>(client, &data);
		Urb entry;
		entry.data = data;
		entry.type = urb->type;
		entry.endpoint = urb->endpoint;
		entry.flags = urb->flags;
		entry.length = static_cast<uint32_t>(std::max(urb->buffer_length, 0));
		const bool known = (entry.endpoint == kBulkIn || entry.endpoint == kBulkOut) ? urb->type == USBDEVFS_URB_TYPE_BULK : entry.endpoint == kInterruptIn && device.spec.interruptPipe && urb->type == USBDEVFS_URB_TYPE_INTERRUPT;
		if (!known || !device.spec.scanner) {
			g_object_unref(data);
			return umockdev_ioctl_client_complete(client, -1, ENOENT), TRUE;
		}
		if (entry.endpoint == kBulkIn)
			device.stats.bulkInLengths.push_back(entry.length);
		if (entry.endpoint == kBulkOut && !haltNow(device, entry)) {
			// The bytes leave at once; the device takes what it accepts.
			UMockdevIoctlData *buffer = umockdev_ioctl_data_resolve(
				data, offsetof(usbdevfs_urb, buffer), entry.length, nullptr);
			const torvane::sim::WriteReply reply = device.spec.scanner->write(
				state.connection, std::span<const uint8_t>(static_cast<uint8_t *>(buffer->data), entry.length));
			g_object_unref(buffer);
			entry.ready = true;
			entry.actual = reply.count;
			if (reply.result != 0)
				haltAt(device, entry);
		}
		state.urbs.push_back(std::move(entry));
		++device.stats.flying;
		umockdev_ioctl_client_complete(client, 0, 0);
		return TRUE;
	}

	// A device that fails a transfer halts the endpoint (a STALL handshake).
	static void haltAt(Device &device, Urb &urb)
	{
		device.halted[urb.endpoint] = true;
		urb.ready = true;
		urb.status = -EPIPE;
		urb.actual = 0;
	}

	static bool haltNow(Device &device, Urb &urb)
	{
		if (device.haltNext[urb.endpoint]) {
			device.haltNext[urb.endpoint] = false;
			device.halted[urb.endpoint] = true;
		}
		if (device.halted[urb.endpoint])
			haltAt(device, urb);
		return urb.ready;
	}

	// Gives the URB its result if the device has one for it now. A URB of
	// a chain that ends short or fails ends the chain: the kernel cancels
	// the continuation URBs queued behind it.
	void serve(Client &state, Device &device, Urb &urb)
	{
		if (urb.ready)
			return;
		answer(state, device, urb);
		if (!urb.ready || urb.type != USBDEVFS_URB_TYPE_BULK)
			return;
		if (urb.status == 0 && urb.actual < urb.length && (urb.flags & USBDEVFS_URB_SHORT_NOT_OK))
			urb.status = -EREMOTEIO;
		if (urb.status == 0)
			return;
		bool behind = false;
		for (Urb &other : state.urbs) {
			if (&other == &urb) {
				behind = true;
				continue;
			}
			if (!behind || other.endpoint != urb.endpoint || other.ready)
				continue;
			if (!(other.flags & USBDEVFS_URB_BULK_CONTINUATION))
				break;
			other.ready = true;
			other.status = -ECONNRESET;
		}
	}

	void answer(Client &state, Device &device, Urb &urb)
	{
		if (urb.ready)
			return;
		if (device.gone) {
			urb.ready = true;
			urb.status = -ESHUTDOWN;
			return;
		}
		if (urb.discarded) {
			urb.ready = true;
			urb.status = -ENOENT;
			return;
		}
		if (haltNow(device, urb))
			return;
		torvane::sim::VirtualScanner &scanner = *device.spec.scanner;
		if (urb.endpoint == kInterruptIn) {
			std::array<uint8_t, torvane::sim::kButtonReportLength> press{};
			uint32_t count = 0;
			if (!scanner.takeButtonPress(press, count))
				return;
			count = std::min<uint32_t>({ count, urb.length, static_cast<uint32_t>(press.size()) });
			urb.in.assign(press.begin(), press.begin() + count);
			urb.actual = count;
			urb.ready = true;
			return;
		}
		const torvane::sim::ReadReply reply = scanner.read(state.connection, urb.length);
		if (reply.stalled)
			return;
		if (reply.result != 0) {
			haltAt(device, urb);
			return;
		}
		// Whatever the device sends ends with a short or zero-length packet.
		const uint32_t count = std::min(reply.length, urb.length);
		urb.in.assign(reply.data(), reply.data() + count);
		urb.actual = count;
		urb.ready = true;
	}

	gboolean reap(UMockdevIoctlClient *client, Client &state, Device &device)
	{
		// One transfer at a time per endpoint, in the order submitted.
		std::array<bool, 256> busy{};
		for (auto it = state.urbs.begin(); it != state.urbs.end(); ++it) {
			if (busy[it->endpoint])
				continue;
			busy[it->endpoint] = true;
			serve(state, device, *it);
			if (!it->ready)
				continue;
			Urb urb = std::move(*it);
			state.urbs.erase(it);
			--device.stats.flying;
			giveBack(client, urb);
			return TRUE;
		}
		umockdev_ioctl_client_complete(client, -1, device.gone ? ENODEV : EAGAIN);
		return TRUE;
	}

	static void giveBack(UMockdevIoctlClient *client, Urb &urb)
	{
		auto *fields = reinterpret_cast<usbdevfs_urb *>(urb.data->data);
		if (!urb.in.empty()) {
			UMockdevIoctlData *buffer = umockdev_ioctl_data_resolve(
				urb.data, offsetof(usbdevfs_urb, buffer), urb.in.size(), nullptr);
			std::memcpy(buffer->data, urb.in.data(), urb.in.size());
			g_object_unref(buffer);
		}
		fields->status = urb.status;
		fields->actual_length = static_cast<int>(urb.actual);
		UMockdevIoctlData *pointer = nullptr;
		resolveArg<void *>(client, &pointer);
		umockdev_ioctl_data_set_ptr(pointer, 0, urb.data);
		umockdev_ioctl_client_complete(client, 0, 0);
		g_object_unref(pointer);
		g_object_unref(urb.data);
	}

	gboolean discard(UMockdevIoctlClient *client, Client &state, Device &device)
	{
		const unsigned long address = *reinterpret_cast<unsigned long *>(umockdev_ioctl_client_get_arg(client)->data);
		for (Urb &urb : state.urbs) {
			if (urb.data->client_addr != address || urb.ready || urb.discarded)
				continue;
			urb.discarded = true;
			++device.stats.discarded;
			umockdev_ioctl_client_complete(client, 0, 0);
			return TRUE;
		}
		umockdev_ioctl_client_complete(client, -1, EINVAL);
		return TRUE;
	}

	// sysfs path of the device at `ports` on `bus` (the root hub for none).
	static std::string sysPathOf(uint8_t bus, const std::vector<uint8_t> &ports)
	{
		std::string path = "/devices/pci0000:00/0000:00:14.0/usb" + std::to_string(bus);
		std::string name = std::to_string(bus) + "-";
		for (size_t i = 0; i < ports.size(); ++i) {
			name += (i ? "." : "") + std::to_string(ports[i]);
			path += "/" + name;
		}
		return path;
	}

	// Adds one device record to the testbed; its node gets `mode`.
	std::string addRecord(const DeviceSpec &spec, bool hub, const std::string &sysPath)
	{
		const int devnum = ++lastAddress[spec.bus];
		char node[32];
		std::snprintf(node, sizeof(node), "/dev/bus/usb/%03d/%03d", spec.bus, devnum);
		std::string record = "P: " + sysPath + "\nN: " + std::string(node + 5) + "\n";
		record += "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DRIVER=usb\n";
		record += "E: DEVNAME=" + std::string(node) + "\n";
		record += "E: BUSNUM=" + std::to_string(spec.bus) + "\nE: DEVNUM=" + std::to_string(devnum) + "\n";
		record += "A: busnum=" + std::to_string(spec.bus) + "\\n\n";
		record += "A: devnum=" + std::to_string(devnum) + "\\n\n";
		record += "A: bConfigurationValue=1\\n\nA: speed=480\\n\n";
		char ids[64];
		std::snprintf(ids, sizeof(ids), "A: idVendor=%04x\\n\nA: idProduct=%04x\\n\n", spec.vendorId, spec.productId);
		record += ids;
		record += "H: descriptors=" + hex(descriptorsOf(spec, hub)) + "\n";
		if (!hub)
			umockdev_testbed_attach_ioctl(testbed, node, handler, nullptr);
		umockdev_testbed_add_from_string(testbed, record.c_str(), nullptr);
		if (spec.nodeMode != 0666) {
			gchar *root = umockdev_testbed_get_root_dir(testbed);
			::chmod((std::string(root) + node).c_str(), spec.nodeMode);
			g_free(root);
		}
		return node;
	}

	void ensureHubs(uint8_t bus, const std::vector<uint8_t> &ports)
	{
		for (size_t depth = 0; depth < ports.size(); ++depth) {
			const std::vector<uint8_t> upstream(ports.begin(), ports.begin() + static_cast<std::ptrdiff_t>(depth));
			const std::string path = sysPathOf(bus, upstream);
			if (std::find(hubs.begin(), hubs.end(), path) != hubs.end())
				continue;
			DeviceSpec hub;
			hub.bus = bus;
			hub.vendorId = depth == 0 ? 0x1D6B : 0x05E3;
			hub.productId = depth == 0 ? 0x0002 : 0x0608;
			addRecord(hub, true, path);
			hubs.push_back(path);
		}
	}

	std::mutex mutex;
	UMockdevTestbed *testbed = nullptr;
	UMockdevIoctlBase *handler = nullptr;
	std::vector<Device> devices;
	std::map<UMockdevIoctlClient *, Client> clients;
	std::vector<std::string> hubs;
	std::map<uint8_t, int> lastAddress;
};

Bus::Bus() : d_(std::make_unique<Private>()) {}

Bus::~Bus() = default;

size_t Bus::plug(DeviceSpec spec)
{
	d_->ensureHubs(spec.bus, spec.ports);
	Device device;
	device.sysPath = Private::sysPathOf(spec.bus, spec.ports);
	device.driverBound = !spec.kernelDriver.empty();
	device.spec = std::move(spec);
	{
		std::lock_guard<std::mutex> guard(d_->mutex);
		d_->devices.push_back(device);
	}
	const std::string node = d_->addRecord(device.spec, false, device.sysPath);
	std::lock_guard<std::mutex> guard(d_->mutex);
	d_->devices.back().node = node;
	return d_->devices.size() - 1;
}

void Bus::unplug(size_t index)
{
	std::string sysPath;
	{
		std::lock_guard<std::mutex> guard(d_->mutex);
		Device &device = d_->devices.at(index);
		device.gone = true;
		sysPath = "/sys" + device.sysPath;
	}
	umockdev_testbed_uevent(d_->testbed, sysPath.c_str(), "remove");
	umockdev_testbed_remove_device(d_->testbed, sysPath.c_str());
}

void Bus::haltEndpoint(size_t index, uint8_t endpoint)
{
	std::lock_guard<std::mutex> guard(d_->mutex);
	d_->devices.at(index).haltNext[endpoint] = true;
}

DeviceStats Bus::stats(size_t index) const
{
	std::lock_guard<std::mutex> guard(d_->mutex);
	return d_->devices.at(index).stats;
}

bool Bus::waitForWithheldRead(size_t index, size_t earlier) const
{
	for (int i = 0; i < 10000; ++i) {
		const DeviceStats now = stats(index);
		// A write goes before the read, and has been reaped when it is sent.
		if (now.flying == 1 && now.bulkInLengths.size() > earlier)
			return true;
		usleep(1000);
	}
	return false;
}

std::string Bus::nodePath(size_t index) const
{
	std::lock_guard<std::mutex> guard(d_->mutex);
	return d_->devices.at(index).node;
}

namespace {

// The loaded library whose name contains `part`, if any.
std::string loadedLibrary(const char *part)
{
	struct Search {
		const char *part;
		std::string found;
	} search{ part, {} };
	dl_iterate_phdr(
		[](dl_phdr_info *info, size_t, void *data) {
			auto *search = static_cast<Search *>(data);
			const char *name = info->dlpi_name ? info->dlpi_name : "";
			if (!std::strstr(name, search->part))
				return 0;
			search->found = name;
			return 1;
		},
		&search);
	return search.found;
}

} // namespace

void runUnderUmockdev(int, char **argv)
{
	if (!loadedLibrary("libumockdev-preload").empty())
		return;
	if (std::getenv("TORVANE_UMOCKDEV_RERUN")) {
		std::fprintf(stderr, "libumockdev-preload.so.0 could not be loaded\n");
		std::exit(1);
	}
	setenv("TORVANE_UMOCKDEV_RERUN", "1", 1);
	// A sanitizer's runtime insists on being the first library loaded.
	std::string preload = loadedLibrary("libasan.so");
	if (preload.empty())
		preload = loadedLibrary("libtsan.so");
	if (!preload.empty())
		preload += ":";
	preload += "libumockdev-preload.so.0";
	if (const char *earlier = std::getenv("LD_PRELOAD"); earlier && *earlier)
		preload += std::string(":") + earlier;
	setenv("LD_PRELOAD", preload.c_str(), 1);
	execv("/proc/self/exe", argv);
	std::perror("re-running under umockdev");
	std::exit(1);
}

void dropFileAccessOverride()
{
	if (geteuid() != 0)
		return;
	// Gone from the bounding set, programs started later lack them too.
	prctl(PR_CAPBSET_DROP, CAP_DAC_OVERRIDE, 0, 0, 0);
	prctl(PR_CAPBSET_DROP, CAP_DAC_READ_SEARCH, 0, 0, 0);
	__user_cap_header_struct header{ _LINUX_CAPABILITY_VERSION_3, 0 };
	__user_cap_data_struct caps[2]{};
	syscall(SYS_capget, &header, caps);
	for (int cap : { CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH }) {
		caps[cap / 32].effective &= ~(1u << (cap % 32));
		caps[cap / 32].permitted &= ~(1u << (cap % 32));
		caps[cap / 32].inheritable &= ~(1u << (cap % 32));
	}
	syscall(SYS_capset, &header, caps);
}

} // namespace emulated_usb
