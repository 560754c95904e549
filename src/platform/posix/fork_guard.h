// SPDX-License-Identifier: MIT
// What a forked child must not keep of its parent's device connections.
#pragma once

namespace torvane::platform {

// A connection to a (simulated) scanner on a Unix socket: while registered,
// a child forked by this process gives up its copy of the descriptor at once
// (it is pointed at /dev/null, so the number stays valid for whatever the
// child's copy of the object does with it). Otherwise the child would keep
// the connection open after the parent has ended, and the scanner would go
// on waiting on a reply nobody reads.
void registerDeviceDescriptor(int fd);
void unregisterDeviceDescriptor(int fd);

// The same for the usbfs descriptors libusb holds (found in the child
// through /proc/self/fd): counted while this process has a USB scanner
// open, since a child keeping one keeps the interface claimed and its
// transfers pending.
void usbDeviceOpened();
void usbDeviceClosed();

} // namespace torvane::platform
