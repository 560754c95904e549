// SPDX-License-Identifier: MIT
// The SANE 1.0 entry points of the torvane backend, exported as sane_torvane_*
// and under the plain sane_* names. No C++ exception crosses them.

#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include <sane/sane.h>

#include "client/driver_session.h"
#include "debug_output.h"
#include "model_libraries.h"
#include "sane_status.h"
#include "scan_device.h"

#ifndef TORVANE_VERSION
#define TORVANE_VERSION ""
#endif

#define TORVANE_SANE_EXPORT extern "C" __attribute__((visibility("default")))

namespace torvane::sane {

namespace {

constexpr SANE_Int kBuild = 1;
constexpr const char *kBackendPrefix = "torvane:";
constexpr int kDeviceNames = 127;

// One scanner found: what sane_get_devices shows, and the library of its model.
struct FoundScanner {
	std::string name, vendor, model, type;
	client::DriverLibrary *library = nullptr;
};

struct BackendState {
	bool initialised = false;
	std::unique_ptr<ScanDevice> open;
	FoundScanner openScanner;
	// The list handed out by sane_get_devices, valid until its next call.
	std::vector<FoundScanner> listed;
	std::vector<SANE_Device> devices;
	std::vector<const SANE_Device *> deviceList;
};

// Never destroyed: a front end that exits without sane_exit must not have a
// scan stopped by a static destructor, after the driver's own have run.
BackendState &state()
{
	static auto *backend = new BackendState;
	return *backend;
}

// The device file the driver finds first: with a device folder, the
// lowest-numbered socket in it; on USB the driver numbers the supported
// scanners from 0, so the first is usbscan0.
std::string firstDeviceName()
{
	const char *folder = std::getenv("TORVANE_DEVICE_DIR");
	if (folder && *folder) {
		for (int n = 0; n < kDeviceNames; ++n) {
			struct stat info {};
			const std::string path = std::string(folder) + "/usbscan" + std::to_string(n);
			if (::stat(path.c_str(), &info) == 0 && S_ISSOCK(info.st_mode))
				return "usbscan" + std::to_string(n);
		}
	}
	return "usbscan0";
}

std::string fieldText(const char *field, size_t size)
{
	std::string text(field, strnlen(field, size));
	while (!text.empty() && text.back() == ' ')
		text.pop_back();
	return text;
}

// Runs the driver's search afresh; GOOD with the scanner found. A scanner
// that is there but busy with another program, or does not answer, is not
// "no such device": those failures keep their own status (DEVICE_BUSY,
// IO_ERROR, ...) for sane_open to answer.
SANE_Status discoverScanner(FoundScanner *found)
{
	std::string error;
	client::DriverLibrary *probe = discoveryLibrary(&error);
	if (!probe) {
		debugLog(kDebugError, "%s", error.c_str());
		return SANE_STATUS_INVAL;
	}
	client::DriverSession session(*probe);
	ScannerAbility basic{};
	ScannerAbilityEx extended{};
	const client::Outcome outcome = session.openScanner(&basic, &extended, false).outcome;
	probe->api().TerminateDriver();
	if (!outcome) {
		debugLog(kDebugCall, "no scanner found: driver error %s", driverErrorText(outcome.error).c_str());
		return statusForDriverError(outcome.error, CallSite::Open);
	}
	found->model = fieldText(extended.Product, sizeof(extended.Product));
	// The name comes from the device and becomes a file name: letters and digits only.
	if (found->model.empty() ||
	    found->model.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789") !=
		    std::string::npos) {
		debugLog(kDebugError, "the scanner reports no usable model name");
		return SANE_STATUS_INVAL;
	}
	found->library = libraryForModel(found->model, &error);
	if (!found->library) {
		debugLog(kDebugError, "a %s was found, but %s", found->model.c_str(), error.c_str());
		return SANE_STATUS_INVAL;
	}
	found->name = firstDeviceName();
	found->vendor = "Torvane";
	// Kind code 1 (flag 0x40) is a flatbed; the others feed sheets.
	found->type = basic.KindFlags & 0x40 ? "flatbed scanner" : "sheetfed scanner";
	return SANE_STATUS_GOOD;
}

bool nameMatches(const std::string &asked, const std::string &device)
{
	std::string name = asked;
	if (name.rfind(kBackendPrefix, 0) == 0)
		name = name.substr(std::strlen(kBackendPrefix));
	return name.empty() || name == device;
}

ScanDevice *deviceOf(SANE_Handle handle)
{
	BackendState &backend = state();
	return handle && backend.open && handle == backend.open.get() ? backend.open.get() : nullptr;
}

// Runs `body`; an exception becomes a status instead of crossing into C.
template<typename Body>
SANE_Status guarded(const char *call, Body body)
{
	try {
		const SANE_Status status = body();
		if (status != SANE_STATUS_GOOD)
			debugLog(kDebugCall, "%s: %s", call, statusText(status).c_str());
		return status;
	} catch (const std::bad_alloc &) {
		debugLog(kDebugError, "%s: out of memory", call);
		return SANE_STATUS_NO_MEM;
	} catch (const std::exception &failure) {
		debugLog(kDebugError, "%s: %s", call, failure.what());
		return SANE_STATUS_IO_ERROR;
	} catch (...) {
		debugLog(kDebugError, "%s: unexpected failure", call);
		return SANE_STATUS_IO_ERROR;
	}
}

// "info INEXACT RELOAD_PARAMS", or nothing.
std::string infoText(const SANE_Int *info)
{
	std::string text;
	const struct {
		SANE_Int flag;
		const char *name;
	} kFlags[] = { { SANE_INFO_INEXACT, " INEXACT" },
		       { SANE_INFO_RELOAD_OPTIONS, " RELOAD_OPTIONS" },
		       { SANE_INFO_RELOAD_PARAMS, " RELOAD_PARAMS" } };
	for (const auto &flag : kFlags)
		if (info && (*info & flag.flag))
			text += flag.name;
	return text.empty() ? text : ", info" + text;
}

// The value an option was set to, after the backend's constraints.
void logOptionSet(const SANE_Option_Descriptor &descriptor, const void *value, SANE_Status status,
		  const SANE_Int *info)
{
	if (status == SANE_STATUS_GOOD)
		debugLog(kDebugDetail, "%s set to %s%s", optionName(descriptor).c_str(),
			 optionValue(descriptor, value).c_str(), infoText(info).c_str());
}

void closeOpenDevice()
{
	BackendState &backend = state();
	if (backend.open) {
		backend.open->close();
		backend.open.reset();
	}
}

} // namespace

} // namespace torvane::sane

using namespace torvane::sane;

TORVANE_SANE_EXPORT SANE_Status sane_torvane_init(SANE_Int *version_code, SANE_Auth_Callback)
{
	return guarded("sane_init", [&] {
		readDebugLevel();
		debugLog(kDebugVersion, "sane_init: torvane backend %s, SANE %d.%d build %d", TORVANE_VERSION,
			 SANE_CURRENT_MAJOR, SANE_CURRENT_MINOR, static_cast<int>(kBuild));
		if (version_code)
			*version_code = SANE_VERSION_CODE(SANE_CURRENT_MAJOR, SANE_CURRENT_MINOR, kBuild);
		state().initialised = true;
		return SANE_STATUS_GOOD;
	});
}

TORVANE_SANE_EXPORT void sane_torvane_exit(void)
{
	guarded("sane_exit", [] {
		debugLog(kDebugCall, "sane_exit");
		closeOpenDevice();
		BackendState &backend = state();
		backend.deviceList.clear();
		backend.devices.clear();
		backend.listed.clear();
		backend.initialised = false;
		return SANE_STATUS_GOOD;
	});
}

TORVANE_SANE_EXPORT SANE_Status sane_torvane_get_devices(const SANE_Device ***device_list, SANE_Bool)
{
	return guarded("sane_get_devices", [&] {
		debugLog(kDebugCall, "sane_get_devices");
		BackendState &backend = state();
		if (!device_list)
			return SANE_STATUS_INVAL;
		backend.listed.clear();
		// While a device is open the driver's search would disturb it: the
		// open one is the list.
		FoundScanner found;
		if (backend.open)
			backend.listed.push_back(backend.openScanner);
		else if (discoverScanner(&found) == SANE_STATUS_GOOD)
			backend.listed.push_back(found);
		backend.devices.clear();
		for (const FoundScanner &scanner : backend.listed)
			backend.devices.push_back(SANE_Device{ scanner.name.c_str(), scanner.vendor.c_str(),
							       scanner.model.c_str(), scanner.type.c_str() });
		backend.deviceList.clear();
		for (const SANE_Device &device : backend.devices)
			backend.deviceList.push_back(&device);
		backend.deviceList.push_back(nullptr);
		*device_list = backend.deviceList.data();
		return SANE_STATUS_GOOD;
	});
}

TORVANE_SANE_EXPORT SANE_Status sane_torvane_open(SANE_String_Const name, SANE_Handle *handle)
{
	return guarded("sane_open", [&] {
		debugLog(kDebugCall, "sane_open(%s)", name ? name : "(null)");
		BackendState &backend = state();
		if (!handle)
			return SANE_STATUS_INVAL;
		// One open device per process: the driver's state is process-wide.
		if (backend.open)
			return SANE_STATUS_DEVICE_BUSY;
		FoundScanner found;
		if (const SANE_Status status = discoverScanner(&found); status != SANE_STATUS_GOOD)
			return status;
		if (!nameMatches(name ? name : "", found.name))
			return SANE_STATUS_INVAL;
		std::unique_ptr<ScanDevice> device;
		const SANE_Status status = ScanDevice::open(*found.library, &device);
		if (status != SANE_STATUS_GOOD)
			return status;
		backend.open = std::move(device);
		backend.openScanner = found;
		*handle = backend.open.get();
		return SANE_STATUS_GOOD;
	});
}

TORVANE_SANE_EXPORT void sane_torvane_close(SANE_Handle handle)
{
	guarded("sane_close", [&] {
		debugLog(kDebugCall, "sane_close");
		if (deviceOf(handle))
			closeOpenDevice();
		return SANE_STATUS_GOOD;
	});
}

TORVANE_SANE_EXPORT const SANE_Option_Descriptor *sane_torvane_get_option_descriptor(SANE_Handle handle,
										     SANE_Int option)
{
	ScanDevice *device = deviceOf(handle);
	return device ? device->options().descriptor(option) : nullptr;
}

TORVANE_SANE_EXPORT SANE_Status sane_torvane_control_option(SANE_Handle handle, SANE_Int option, SANE_Action action,
							    void *value, SANE_Int *info)
{
	return guarded("sane_control_option", [&] {
		ScanDevice *device = deviceOf(handle);
		if (info)
			*info = 0;
		if (!device || !value)
			return SANE_STATUS_INVAL;
		DeviceOptions &options = device->options();
		const SANE_Option_Descriptor *descriptor = options.descriptor(option);
		if (!descriptor || descriptor->type == SANE_TYPE_GROUP || !SANE_OPTION_IS_ACTIVE(descriptor->cap))
			return SANE_STATUS_INVAL;
		debugLog(kDebugDetail, "sane_control_option(%s, %s)", optionName(*descriptor).c_str(), actionName(action));
		if (action == SANE_ACTION_GET_VALUE) {
			if (options.isButton(option)) {
				*static_cast<SANE_Word *>(value) = device->takeButtonPress(options.buttonNumber(option));
				return SANE_STATUS_GOOD;
			}
			return options.get(option, value);
		}
		if (action != SANE_ACTION_SET_VALUE || !SANE_OPTION_IS_SETTABLE(descriptor->cap))
			return SANE_STATUS_INVAL;
		if (device->scanning())
			return SANE_STATUS_DEVICE_BUSY;
		const SANE_Status status = options.set(option, value, info);
		logOptionSet(*descriptor, value, status, info);
		return status;
	});
}

TORVANE_SANE_EXPORT SANE_Status sane_torvane_get_parameters(SANE_Handle handle, SANE_Parameters *params)
{
	return guarded("sane_get_parameters", [&] {
		ScanDevice *device = deviceOf(handle);
		if (!device || !params)
			return SANE_STATUS_INVAL;
		// The options cannot change during a scan: the estimate is exact.
		*params = device->options().parameters();
		return SANE_STATUS_GOOD;
	});
}

TORVANE_SANE_EXPORT SANE_Status sane_torvane_start(SANE_Handle handle)
{
	return guarded("sane_start", [&] {
		debugLog(kDebugCall, "sane_start");
		ScanDevice *device = deviceOf(handle);
		return device ? device->start() : SANE_STATUS_INVAL;
	});
}

TORVANE_SANE_EXPORT SANE_Status sane_torvane_read(SANE_Handle handle, SANE_Byte *data, SANE_Int max_length,
						  SANE_Int *length)
{
	return guarded("sane_read", [&] {
		ScanDevice *device = deviceOf(handle);
		if (!device || !data || !length)
			return SANE_STATUS_INVAL;
		return device->read(data, max_length, length);
	});
}

// Async-signal-safe: no lock, no log, no allocation, no join.
TORVANE_SANE_EXPORT void sane_torvane_cancel(SANE_Handle handle)
{
	if (ScanDevice *device = deviceOf(handle))
		device->cancel();
}

TORVANE_SANE_EXPORT SANE_Status sane_torvane_set_io_mode(SANE_Handle handle, SANE_Bool non_blocking)
{
	return guarded("sane_set_io_mode", [&] {
		ScanDevice *device = deviceOf(handle);
		return device ? device->setIoMode(non_blocking == SANE_TRUE) : SANE_STATUS_INVAL;
	});
}

TORVANE_SANE_EXPORT SANE_Status sane_torvane_get_select_fd(SANE_Handle handle, SANE_Int *fd)
{
	return guarded("sane_get_select_fd", [&] {
		ScanDevice *device = deviceOf(handle);
		return device && fd ? device->selectFd(fd) : SANE_STATUS_INVAL;
	});
}

// The plain names, so that a program can link the backend directly.
#define TORVANE_SANE_ALIAS(plain, backend) \
	TORVANE_SANE_EXPORT decltype(backend) plain __attribute__((alias(#backend)));
TORVANE_SANE_ALIAS(sane_init, sane_torvane_init)
TORVANE_SANE_ALIAS(sane_exit, sane_torvane_exit)
TORVANE_SANE_ALIAS(sane_get_devices, sane_torvane_get_devices)
TORVANE_SANE_ALIAS(sane_open, sane_torvane_open)
TORVANE_SANE_ALIAS(sane_close, sane_torvane_close)
TORVANE_SANE_ALIAS(sane_get_option_descriptor, sane_torvane_get_option_descriptor)
TORVANE_SANE_ALIAS(sane_control_option, sane_torvane_control_option)
TORVANE_SANE_ALIAS(sane_get_parameters, sane_torvane_get_parameters)
TORVANE_SANE_ALIAS(sane_start, sane_torvane_start)
TORVANE_SANE_ALIAS(sane_read, sane_torvane_read)
TORVANE_SANE_ALIAS(sane_cancel, sane_torvane_cancel)
TORVANE_SANE_ALIAS(sane_set_io_mode, sane_torvane_set_io_mode)
TORVANE_SANE_ALIAS(sane_get_select_fd, sane_torvane_get_select_fd)

// For programs linking the backend directly (the dll backend has its own).
TORVANE_SANE_EXPORT SANE_String_Const sane_strstatus(SANE_Status status)
{
	static const char *const kTexts[] = { "Success",
					      "Operation not supported",
					      "Operation was cancelled",
					      "Device busy",
					      "Invalid argument",
					      "End of file reached",
					      "Document feeder jammed",
					      "Document feeder out of documents",
					      "Scanner cover is open",
					      "Error during device I/O",
					      "Out of memory",
					      "Access to resource has been denied" };
	const auto index = static_cast<size_t>(status);
	return index < std::size(kTexts) ? kTexts[index] : "Unknown SANE status code";
}
