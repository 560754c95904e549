// SPDX-License-Identifier: MIT
// torvane-usbscan.sys: the still-image USB driver's device files
// \\.\usbscanN for Windows programs under Wine, each answered by a scanner of
// torvane-sim over TCP.
//
// One device object per scanner number (\Device\UsbscanN, linked as
// \DosDevices\usbscanN). Every open handle is one TCP connection to the
// simulator, attached to usbscanN; READ, WRITE and DEVICE_CONTROL become one
// request each of the simulated scanner's wire contract. The IRPs of a handle
// are pended and served in order by a thread of the handle, so a stalled
// read or an outstanding button wait holds up neither other handles nor the
// dispatch thread, and each can be cancelled. When the simulator closes the
// connection (the scanner was unplugged) the IRP in progress and every later
// one on that handle fail with STATUS_DEVICE_NOT_CONNECTED, and opens fail
// with STATUS_NO_SUCH_DEVICE until the scanner is served again.
//
// The simulator's port is the value Port (REG_DWORD) of the service's
// Parameters key, read at every open, so that the port of a new simulator
// run takes effect without restarting the service.

#include <ntddk.h>

#include "host_io.h"

// Exported by ntoskrnl.exe, declared by no ddk/ header.
NTSYSAPI NTSTATUS NTAPI ZwWaitForSingleObject(HANDLE handle, BOOLEAN alertable, PLARGE_INTEGER timeout);

#define TORVANE_DEVICE_COUNT 16
#define TORVANE_POOL_TAG 0x6E767254u // "Trvn" in a pool dump

// The control codes of the still-image USB driver (all METHOD_BUFFERED).
#define TORVANE_IOCTL_WAIT_ON_DEVICE_EVENT 0x80002008u
#define TORVANE_IOCTL_GET_DEVICE_DESCRIPTOR 0x80002018u
#define TORVANE_IOCTL_SET_TIMEOUT 0x8000202Cu

enum {
	kOpWrite = 1,
	kOpRead = 2,
	kOpControl = 3
};

static const WCHAR kParametersKey[] =
	L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\TorvaneUsbscan\\Parameters";

typedef struct DeviceExtension {
	ULONG number;
	UNICODE_STRING link;
	WCHAR linkText[32];
} DeviceExtension;

// One open handle: its connection, its queue and the thread that serves it.
typedef struct Handle {
	ULONG number;
	KSPIN_LOCK lock; // guards queue, current, closing
	KIRQL lockIrql;
	KEVENT wake; // set when an IRP is queued or the handle closes
	HANDLE thread;
	LIST_ENTRY queue; // pended IRPs not yet started
	PIRP current;	  // the IRP the thread serves, or NULL
	BOOLEAN closing;
	BOOLEAN gone;	      // the simulator closed the connection: the device vanished
	WireSocket socket;    // WIRE_NO_SOCKET after a cancel or time-out: reconnect
	volatile long cancel; // the current IRP is to end
	ULONG timeouts[3];    // read, write, event, in seconds (0: none)
} Handle;

// Reads Port from the service's Parameters key; 0 when missing.
static USHORT simulatorPort(void)
{
	UNICODE_STRING name;
	OBJECT_ATTRIBUTES attributes;
	HANDLE key;
	RtlInitUnicodeString(&name, kParametersKey);
	InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
	if (!NT_SUCCESS(ZwOpenKey(&key, KEY_QUERY_VALUE, &attributes)))
		return 0;
	UCHAR buffer[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + sizeof(ULONG)];
	KEY_VALUE_PARTIAL_INFORMATION *value = (KEY_VALUE_PARTIAL_INFORMATION *)buffer;
	ULONG length = 0;
	RtlInitUnicodeString(&name, L"Port");
	USHORT port = 0;
	if (NT_SUCCESS(ZwQueryValueKey(key, &name, KeyValuePartialInformation, value, sizeof(buffer), &length)) &&
	    value->Type == REG_DWORD && value->DataLength == sizeof(ULONG)) {
		ULONG word;
		RtlCopyMemory(&word, value->Data, sizeof(word));
		if (word <= 0xFFFF)
			port = (USHORT)word;
	}
	ZwClose(key);
	return port;
}

static void putWord(UCHAR *out, ULONG value)
{
	out[0] = (UCHAR)value;
	out[1] = (UCHAR)(value >> 8);
	out[2] = (UCHAR)(value >> 16);
	out[3] = (UCHAR)(value >> 24);
}

static ULONG getWord(const UCHAR *in)
{
	return (ULONG)in[0] | (ULONG)in[1] << 8 | (ULONG)in[2] << 16 | (ULONG)in[3] << 24;
}

// A spin lock: Wine's kernel mutex does not wake a second waiting thread.
static void lockHandle(Handle *handle)
{
	KIRQL irql;
	KeAcquireSpinLock(&handle->lock, &irql);
	handle->lockIrql = irql;
}

static void unlockHandle(Handle *handle)
{
	KeReleaseSpinLock(&handle->lock, handle->lockIrql);
}

// The status an IRP ends with when its exchange did not complete.
static NTSTATUS failedExchange(Handle *handle, enum WireOutcome outcome)
{
	// The reply of the abandoned request may still come: the connection is
	// out of step, so it goes, and the next IRP makes a new one.
	// Under the lock: a cancel routine wakes the socket it finds there.
	lockHandle(handle);
	const WireSocket socket = handle->socket;
	handle->socket = WIRE_NO_SOCKET;
	unlockHandle(handle);
	wireClose(socket);
	switch (outcome) {
	case WIRE_CANCELLED:
		return STATUS_CANCELLED;
	case WIRE_TIMEOUT:
		return STATUS_IO_TIMEOUT;
	default:
		handle->gone = TRUE;
		return STATUS_DEVICE_NOT_CONNECTED;
	}
}

// The time-out of an IRP's reply in milliseconds, 0 for none.
static ULONG replyTimeout(const Handle *handle, UCHAR major, ULONG code)
{
	ULONG seconds = 0;
	if (major == IRP_MJ_READ)
		seconds = handle->timeouts[0];
	else if (major == IRP_MJ_WRITE)
		seconds = handle->timeouts[1];
	else if (code == TORVANE_IOCTL_WAIT_ON_DEVICE_EVENT)
		seconds = handle->timeouts[2];
	return seconds > 0xFFFFFFFFu / 1000 ? 0xFFFFFFFFu : seconds * 1000;
}

// Receives and drops `length` reply bytes that do not fit the caller's buffer.
static enum WireOutcome discardReply(Handle *handle, ULONG length)
{
	UCHAR scrap[256];
	while (length > 0) {
		const ULONG piece = length < sizeof(scrap) ? length : sizeof(scrap);
		const enum WireOutcome outcome = wireReceive(handle->socket, scrap, piece, 0, &handle->cancel);
		if (outcome != WIRE_OK)
			return outcome;
		length -= piece;
	}
	return WIRE_OK;
}

// Sends one request of the wire contract and receives its reply: result,
// count and up to `capacity` data bytes into `data` (none for WRITE).
static NTSTATUS exchange(Handle *handle, ULONG op, const UCHAR *head, ULONG headLength, const void *payload,
			 ULONG payloadLength, void *data, ULONG capacity, ULONG timeoutMs, ULONG_PTR *delivered)
{
	*delivered = 0;
	UCHAR header[16];
	putWord(header, op);
	putWord(header + 4, headLength + payloadLength);
	RtlCopyMemory(header + 8, head, headLength);
	enum WireOutcome outcome = wireSend(handle->socket, header, 8 + headLength);
	if (outcome == WIRE_OK && payloadLength)
		outcome = wireSend(handle->socket, payload, payloadLength);
	UCHAR reply[8];
	if (outcome == WIRE_OK)
		outcome = wireReceive(handle->socket, reply, sizeof(reply), timeoutMs, &handle->cancel);
	if (outcome != WIRE_OK)
		return failedExchange(handle, outcome);
	const ULONG result = getWord(reply);
	const ULONG count = getWord(reply + 4);
	if (op == kOpWrite) {
		*delivered = count < payloadLength ? count : payloadLength;
		return result == 0 ? STATUS_SUCCESS : STATUS_IO_DEVICE_ERROR;
	}
	const ULONG kept = count < capacity ? count : capacity;
	outcome = kept ? wireReceive(handle->socket, data, kept, 0, &handle->cancel) : WIRE_OK;
	if (outcome == WIRE_OK && count > kept)
		outcome = discardReply(handle, count - kept);
	if (outcome != WIRE_OK)
		return failedExchange(handle, outcome);
	*delivered = kept;
	if (result != 0)
		return STATUS_IO_DEVICE_ERROR;
	return count > kept ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

// A buffered-I/O IRP's system buffer (Wine gives the user buffer when the
// device does not ask for buffered I/O).
static void *irpBuffer(PIRP irp)
{
	return irp->AssociatedIrp.SystemBuffer ? irp->AssociatedIrp.SystemBuffer : irp->UserBuffer;
}

static NTSTATUS serveControl(Handle *handle, PIRP irp, PIO_STACK_LOCATION stack)
{
	const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
	const ULONG inLength = stack->Parameters.DeviceIoControl.InputBufferLength;
	const ULONG outLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
	void *buffer = irpBuffer(irp);
	if (!buffer && (inLength || outLength))
		return STATUS_INVALID_PARAMETER;
	if (code == TORVANE_IOCTL_SET_TIMEOUT) {
		if (inLength < sizeof(handle->timeouts))
			return STATUS_INVALID_PARAMETER;
		RtlCopyMemory(handle->timeouts, buffer, sizeof(handle->timeouts));
	}
	UCHAR head[4];
	putWord(head, code);
	// Buffered control codes share one buffer: the input leaves before the
	// output arrives in it.
	return exchange(handle, kOpControl, head, sizeof(head), buffer, inLength, buffer, outLength,
			replyTimeout(handle, IRP_MJ_DEVICE_CONTROL, code), &irp->IoStatus.Information);
}

static NTSTATUS serveIrp(Handle *handle, PIRP irp)
{
	PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
	irp->IoStatus.Information = 0;
	if (handle->gone)
		return STATUS_DEVICE_NOT_CONNECTED;
	if (handle->socket == WIRE_NO_SOCKET) {
		WireSocket socket;
		if (wireConnect(simulatorPort(), handle->number, &socket) != WIRE_OK) {
			handle->gone = TRUE;
			return STATUS_DEVICE_NOT_CONNECTED;
		}
		lockHandle(handle);
		handle->socket = socket;
		unlockHandle(handle);
	}
	switch (stack->MajorFunction) {
	case IRP_MJ_WRITE: {
		const ULONG length = stack->Parameters.Write.Length;
		void *buffer = irpBuffer(irp);
		if (!buffer && length)
			return STATUS_INVALID_PARAMETER;
		return exchange(handle, kOpWrite, NULL, 0, buffer, length, NULL, 0,
				replyTimeout(handle, IRP_MJ_WRITE, 0), &irp->IoStatus.Information);
	}
	case IRP_MJ_READ: {
		const ULONG length = stack->Parameters.Read.Length;
		void *buffer = irpBuffer(irp);
		if (!buffer && length)
			return STATUS_INVALID_PARAMETER;
		UCHAR head[4];
		putWord(head, length);
		return exchange(handle, kOpRead, head, sizeof(head), NULL, 0, buffer, length,
				replyTimeout(handle, IRP_MJ_READ, 0), &irp->IoStatus.Information);
	}
	case IRP_MJ_DEVICE_CONTROL:
		return serveControl(handle, irp, stack);
	default:
		return STATUS_INVALID_DEVICE_REQUEST;
	}
}

static void completeIrp(PIRP irp, NTSTATUS status)
{
	irp->IoStatus.Status = status;
	if (!NT_SUCCESS(status) && status != STATUS_BUFFER_OVERFLOW)
		irp->IoStatus.Information = 0;
	IoCompleteRequest(irp, IO_NO_INCREMENT);
}

// The thread of one handle: serves its IRPs in order until the handle closes.
static void NTAPI handleThread(void *context)
{
	Handle *handle = (Handle *)context;
	for (;;) {
		lockHandle(handle);
		while (IsListEmpty(&handle->queue) && !handle->closing) {
			unlockHandle(handle);
			KeWaitForSingleObject(&handle->wake, Executive, KernelMode, FALSE, NULL);
			lockHandle(handle);
		}
		if (IsListEmpty(&handle->queue)) {
			unlockHandle(handle);
			PsTerminateSystemThread(STATUS_SUCCESS);
			return;
		}
		PLIST_ENTRY entry = RemoveHeadList(&handle->queue);
		PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
		handle->current = irp;
		handle->cancel = handle->closing || irp->Cancel;
		unlockHandle(handle);

		const NTSTATUS status = handle->cancel ? STATUS_CANCELLED : serveIrp(handle, irp);

		lockHandle(handle);
		handle->current = NULL;
		handle->cancel = 0;
		unlockHandle(handle);
		// A cancel routine that runs now finds the IRP neither queued nor
		// current and leaves it alone.
		IoSetCancelRoutine(irp, NULL);
		completeIrp(irp, status);
	}
}

// Cancels a pended IRP: a queued one ends here, the current one is woken
// and ended by the handle's thread.
static void NTAPI cancelIrp(PDEVICE_OBJECT device, PIRP irp)
{
	(void)device;
	IoReleaseCancelSpinLock(irp->CancelIrql);
	Handle *handle = (Handle *)IoGetCurrentIrpStackLocation(irp)->FileObject->FsContext;
	BOOLEAN queued = FALSE;
	lockHandle(handle);
	for (PLIST_ENTRY entry = handle->queue.Flink; entry != &handle->queue; entry = entry->Flink) {
		if (entry == &irp->Tail.Overlay.ListEntry) {
			RemoveEntryList(entry);
			queued = TRUE;
			break;
		}
	}
	if (!queued && handle->current == irp) {
		handle->cancel = 1;
		wireWake(handle->socket);
	}
	unlockHandle(handle);
	if (queued)
		completeIrp(irp, STATUS_CANCELLED);
}

static NTSTATUS completeNow(PIRP irp, NTSTATUS status)
{
	irp->IoStatus.Information = 0;
	completeIrp(irp, status);
	return status;
}

static NTSTATUS NTAPI dispatchCreate(PDEVICE_OBJECT device, PIRP irp)
{
	const DeviceExtension *extension = (const DeviceExtension *)device->DeviceExtension;
	PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
	Handle *handle = ExAllocatePoolWithTag(NonPagedPool, sizeof(*handle), TORVANE_POOL_TAG);
	if (!handle)
		return completeNow(irp, STATUS_INSUFFICIENT_RESOURCES);
	RtlZeroMemory(handle, sizeof(*handle));
	handle->number = extension->number;
	InitializeListHead(&handle->queue);
	// The open is the connection: no scanner under this number, no device.
	const enum WireOutcome outcome = wireConnect(simulatorPort(), handle->number, &handle->socket);
	if (outcome != WIRE_OK) {
		ExFreePoolWithTag(handle, TORVANE_POOL_TAG);
		return completeNow(irp, STATUS_NO_SUCH_DEVICE);
	}
	KeInitializeSpinLock(&handle->lock);
	KeInitializeEvent(&handle->wake, SynchronizationEvent, FALSE);
	if (!NT_SUCCESS(PsCreateSystemThread(&handle->thread, THREAD_ALL_ACCESS, NULL, NULL, NULL, handleThread,
					     handle))) {
		wireClose(handle->socket);
		ExFreePoolWithTag(handle, TORVANE_POOL_TAG);
		return completeNow(irp, STATUS_INSUFFICIENT_RESOURCES);
	}
	file->FsContext = handle;
	return completeNow(irp, STATUS_SUCCESS);
}

// Ends the IRPs of the handle: the queued ones are cancelled by its thread,
// the current one is woken.
static void closeHandleIo(Handle *handle)
{
	lockHandle(handle);
	handle->closing = TRUE;
	if (handle->current) {
		handle->cancel = 1;
		wireWake(handle->socket);
	}
	unlockHandle(handle);
	KeSetEvent(&handle->wake, IO_NO_INCREMENT, FALSE);
}

static NTSTATUS NTAPI dispatchCleanup(PDEVICE_OBJECT device, PIRP irp)
{
	(void)device;
	Handle *handle = (Handle *)IoGetCurrentIrpStackLocation(irp)->FileObject->FsContext;
	if (handle)
		closeHandleIo(handle);
	return completeNow(irp, STATUS_SUCCESS);
}

static NTSTATUS NTAPI dispatchClose(PDEVICE_OBJECT device, PIRP irp)
{
	(void)device;
	PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
	Handle *handle = (Handle *)file->FsContext;
	if (handle) {
		closeHandleIo(handle);
		ZwWaitForSingleObject(handle->thread, FALSE, NULL);
		ZwClose(handle->thread);
		wireClose(handle->socket);
		ExFreePoolWithTag(handle, TORVANE_POOL_TAG);
		file->FsContext = NULL;
	}
	return completeNow(irp, STATUS_SUCCESS);
}

// READ, WRITE and DEVICE_CONTROL: pended for the handle's thread.
static NTSTATUS NTAPI dispatchTransfer(PDEVICE_OBJECT device, PIRP irp)
{
	(void)device;
	Handle *handle = (Handle *)IoGetCurrentIrpStackLocation(irp)->FileObject->FsContext;
	if (!handle)
		return completeNow(irp, STATUS_INVALID_HANDLE);
	IoMarkIrpPending(irp);
	lockHandle(handle);
	if (handle->closing) {
		unlockHandle(handle);
		completeNow(irp, STATUS_CANCELLED);
		return STATUS_PENDING;
	}
	IoSetCancelRoutine(irp, cancelIrp);
	if (irp->Cancel && IoSetCancelRoutine(irp, NULL)) {
		unlockHandle(handle);
		completeNow(irp, STATUS_CANCELLED);
		return STATUS_PENDING;
	}
	InsertTailList(&handle->queue, &irp->Tail.Overlay.ListEntry);
	unlockHandle(handle);
	KeSetEvent(&handle->wake, IO_NO_INCREMENT, FALSE);
	return STATUS_PENDING;
}

static void appendNumber(WCHAR *text, ULONG number)
{
	while (*text)
		++text;
	WCHAR digits[12];
	int count = 0;
	do {
		digits[count++] = (WCHAR)(L'0' + number % 10);
		number /= 10;
	} while (number);
	while (count)
		*text++ = digits[--count];
	*text = 0;
}

static void copyText(WCHAR *to, const WCHAR *from)
{
	while ((*to++ = *from++))
		;
}

static NTSTATUS createScannerDevice(PDRIVER_OBJECT driver, ULONG number)
{
	WCHAR deviceText[32];
	copyText(deviceText, L"\\Device\\Usbscan");
	appendNumber(deviceText, number);
	UNICODE_STRING deviceName;
	RtlInitUnicodeString(&deviceName, deviceText);
	PDEVICE_OBJECT device;
	NTSTATUS status =
		IoCreateDevice(driver, sizeof(DeviceExtension), &deviceName, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
	if (!NT_SUCCESS(status))
		return status;
	device->Flags |= DO_BUFFERED_IO;
	DeviceExtension *extension = (DeviceExtension *)device->DeviceExtension;
	extension->number = number;
	copyText(extension->linkText, L"\\DosDevices\\usbscan");
	appendNumber(extension->linkText, number);
	RtlInitUnicodeString(&extension->link, extension->linkText);
	status = IoCreateSymbolicLink(&extension->link, &deviceName);
	if (!NT_SUCCESS(status)) {
		IoDeleteDevice(device);
		return status;
	}
	device->Flags &= ~DO_DEVICE_INITIALIZING;
	return STATUS_SUCCESS;
}

static void NTAPI driverUnload(PDRIVER_OBJECT driver)
{
	PDEVICE_OBJECT device = driver->DeviceObject;
	while (device) {
		PDEVICE_OBJECT next = device->NextDevice;
		DeviceExtension *extension = (DeviceExtension *)device->DeviceExtension;
		IoDeleteSymbolicLink(&extension->link);
		IoDeleteDevice(device);
		device = next;
	}
	hostShutdown();
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath)
{
	(void)registryPath;
	if (!hostStartup())
		return STATUS_UNSUCCESSFUL;
	driver->MajorFunction[IRP_MJ_CREATE] = dispatchCreate;
	driver->MajorFunction[IRP_MJ_CLEANUP] = dispatchCleanup;
	driver->MajorFunction[IRP_MJ_CLOSE] = dispatchClose;
	driver->MajorFunction[IRP_MJ_READ] = dispatchTransfer;
	driver->MajorFunction[IRP_MJ_WRITE] = dispatchTransfer;
	driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = dispatchTransfer;
	driver->DriverUnload = driverUnload;
	for (ULONG number = 0; number < TORVANE_DEVICE_COUNT; ++number) {
		const NTSTATUS status = createScannerDevice(driver, number);
		if (!NT_SUCCESS(status)) {
			driverUnload(driver);
			return status;
		}
	}
	return STATUS_SUCCESS;
}
