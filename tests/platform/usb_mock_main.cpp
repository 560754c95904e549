// SPDX-License-Identifier: MIT
// Entry of the test programs on the emulated USB bus: they run with the
// umockdev preload library, started again with it when it is missing.

#include <gtest/gtest.h>

#include "emulated_usb.h"

// ThreadSanitizer, when built with it: umockdev 0.17 hands the names of
// its folder and of device nodes to its worker thread through GLib, whose
// locking it cannot see (and frees its copy of a node's name meanwhile).
// The emulation's own code calls no g_strdup.
extern "C" __attribute__((visibility("default"))) const char *__tsan_default_suppressions()
{
	return "race:libumockdev.so\nrace:g_strdup\n";
}

int main(int argc, char **argv)
{
	emulated_usb::runUnderUmockdev(argc, argv);
	testing::InitGoogleTest(&argc, argv);
	return RUN_ALL_TESTS();
}
