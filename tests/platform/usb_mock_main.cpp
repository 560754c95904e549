// SPDX-License-Identifier: MIT
// Entry of the test programs on the emulated USB bus: they run with the
// umockdev preload library, started again with it when it is missing.

#include <gtest/gtest.h>

#include "emulated_usb.h"

int main(int argc, char **argv)
{
	emulated_usb::runUnderUmockdev(argc, argv);
	testing::InitGoogleTest(&argc, argv);
	return RUN_ALL_TESTS();
}
