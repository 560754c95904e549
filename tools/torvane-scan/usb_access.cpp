// SPDX-License-Identifier: MIT
// The USB access check of torvane-scan: sysfs lists the attached devices,
// and opening a node as libusb does shows whether this user may use it.

#include "usb_access.h"

#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <fstream>
#include <string>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

namespace torvane::scan {

namespace {

constexpr const char *kDevices = "/sys/bus/usb/devices/";

std::string firstLine(const std::string &path)
{
	std::ifstream file(path);
	std::string line;
	std::getline(file, line);
	return line;
}

// The node of one sysfs device, when it is one of the vendor's and refuses us.
std::string deniedScannerNode(const std::string &name)
{
	const std::string folder = kDevices + name + "/";
	if (firstLine(folder + "idVendor") != "2f1a")
		return {};
	char node[64];
	std::snprintf(node, sizeof(node), "/dev/bus/usb/%03d/%03d", std::atoi(firstLine(folder + "busnum").c_str()),
		      std::atoi(firstLine(folder + "devnum").c_str()));
	const int fd = ::open(node, O_RDWR | O_CLOEXEC);
	if (fd >= 0) {
		::close(fd);
		return {};
	}
	return errno == EACCES || errno == EPERM ? node : std::string();
}

} // namespace

std::string usbAccessHint()
{
	DIR *dir = ::opendir(kDevices);
	if (!dir)
		return {};
	std::string node;
	while (const dirent *entry = ::readdir(dir)) {
		if (entry->d_name[0] != '.' && node.empty())
			node = deniedScannerNode(entry->d_name);
	}
	::closedir(dir);
	if (node.empty())
		return {};
	return "a scanner is attached at " + node +
	       ", but this user may not open it: give the scanner group read and write access with a udev rule "
	       "(such as SUBSYSTEM==\"usb\", ATTR{idVendor}==\"2f1a\", MODE=\"0660\", GROUP=\"scanner\" in a file "
	       "under /etc/udev/rules.d/), add yourself to the scanner group (sudo usermod -aG scanner $USER), "
	       "then unplug the scanner, plug it in again and log in anew";
}

} // namespace torvane::scan
