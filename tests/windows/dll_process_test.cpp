// SPDX-License-Identifier: MIT
// Several processes with the library loaded: the machine-wide device event,
// the shared ScanBusy, and the host program's name (raw test mode).

#include <string>

#include <windows.h>

#include <gtest/gtest.h>

#include "support/driver_files.h"
#include "support/torvane_test.h"
#include "support/win_test_support.h"

using namespace torvane::wintest;

namespace {

constexpr DWORD kProcessTimeoutMs = 60000;

// A host program name and the raw test mode it should give.
struct Host {
	const char *name;
	const char *rawTestMode;
};

class Processes : public ::testing::Test
{
protected:
	void SetUp() override
	{
		removeConfigKey();
		library = copyAs(testDriverDll(), dir, "RM735.dll");
		ASSERT_FALSE(library.empty());
	}
	void TearDown() override { removeConfigKey(); }

	std::vector<std::string> steps(std::initializer_list<std::string> list)
	{
		std::vector<std::string> arguments{ library };
		arguments.insert(arguments.end(), list);
		return arguments;
	}

	TempDir dir;
	std::string library;
};

TEST_F(Processes, ALockHeldInOneProcessMakesTheOtherWait)
{
	NamedEvent entered("entered");
	NamedEvent release("release");
	// The first process takes the lock in InitializeDriver and stays inside
	// discovery until released.
	ChildProcess holder;
	ASSERT_TRUE(holder.start(dllHost(), steps({ "stallDevice:" + entered.name() + "," + release.name(),
						    "call:InitializeDriver", "state" })));
	ASSERT_TRUE(entered.wait(kProcessTimeoutMs));

	// A second process gives up after its (shortened) wait...
	ChildProcess impatient;
	ASSERT_TRUE(impatient.start(dllHost(), steps({ "lockWait:200", "call:TerminateDriver", "state" })));
	ASSERT_TRUE(impatient.finish(kProcessTimeoutMs));
	EXPECT_EQ(impatient.exitCode(), 0u) << impatient.output();
	EXPECT_EQ(impatient.value("TerminateDriver"), "0");
	EXPECT_EQ(impatient.value("lastError"), "162");

	// ...and a third one waits until the first has released it.
	NamedEvent started("started");
	ChildProcess patient;
	ASSERT_TRUE(patient.start(dllHost(), steps({ "signal:" + started.name(), "call:TerminateDriver" })));
	ASSERT_TRUE(started.wait(kProcessTimeoutMs));
	Sleep(300);
	release.set();
	ASSERT_TRUE(patient.finish(kProcessTimeoutMs));
	EXPECT_EQ(patient.value("TerminateDriver"), "1") << patient.output();
	EXPECT_GE(std::stoi(patient.value("TerminateDriver.ms")), 250);

	ASSERT_TRUE(holder.finish(kProcessTimeoutMs));
	EXPECT_EQ(holder.value("InitializeDriver"), "0");
	EXPECT_EQ(holder.value("lastError"), "129");
}

TEST_F(Processes, AProcessThatEndsHoldingTheLockHandsItOn)
{
	NamedEvent entered("entered");
	NamedEvent release("release");
	ChildProcess holder;
	ASSERT_TRUE(holder.start(dllHost(), steps({ "stallDevice:" + entered.name() + "," + release.name(),
						    "spawn:InitializeDriver", "wait:" + entered.name(), "exit" })));
	ASSERT_TRUE(holder.finish(kProcessTimeoutMs));
	EXPECT_EQ(holder.exitCode(), 0u);

	const std::string output = runProcess(dllHost(), steps({ "lockWait:3000", "call:TerminateDriver" }));
	EXPECT_NE(output.find("TerminateDriver=1"), std::string::npos) << output;
	release.set();
}

TEST_F(Processes, ScanBusyIsOneFlagForEveryProcessThatLoadsTheLibrary)
{
	Library here(library);
	ASSERT_TRUE(here.loaded());
	auto getState = here.function<TorvaneTestGetStateCall>("TorvaneTestGetState");
	ASSERT_NE(getState, nullptr);
	TorvaneTestState state{};

	// Set in one process by SetScanParameter...
	NamedEvent set("set");
	NamedEvent done("done");
	ChildProcess scanner;
	ASSERT_TRUE(scanner.start(dllHost(), steps({ "simulate", "call:InitializeDriver", "setScanParameter:600,4,24,40",
						     "signal:" + set.name(), "wait:" + done.name(), "call:StopScan",
						     "call:TerminateDriver", "state" })));
	ASSERT_TRUE(set.wait(kProcessTimeoutMs));
	getState(&state);
	EXPECT_EQ(state.scanBusy, 1);

	// ...refused at once in another, with 162, without waiting for the event.
	ChildProcess other;
	ASSERT_TRUE(other.start(dllHost(), steps({ "call:TerminateDriver", "call:InitializeDriver", "state" })));
	ASSERT_TRUE(other.finish(kProcessTimeoutMs));
	EXPECT_EQ(other.value("TerminateDriver"), "0") << other.output();
	EXPECT_EQ(other.value("InitializeDriver"), "0");
	EXPECT_EQ(other.value("lastError"), "162");
	EXPECT_LT(std::stoi(other.value("InitializeDriver.ms")), 5000);
	EXPECT_EQ(here.call("TerminateDriver"), 0);

	// StopScan in a third process reaches nothing of the scan: refused with
	// 162, and the flag stays the scanning process's.
	ChildProcess third;
	ASSERT_TRUE(third.start(dllHost(), steps({ "call:StopScan", "state" })));
	ASSERT_TRUE(third.finish(kProcessTimeoutMs));
	EXPECT_EQ(third.value("StopScan"), "0") << third.output();
	EXPECT_EQ(third.value("lastError"), "162");
	getState(&state);
	EXPECT_EQ(state.scanBusy, 1);
	// The scanning process's own StopScan clears it (with the simulated
	// scanner's RELEASE UNIT).
	done.set();
	ASSERT_TRUE(scanner.finish(kProcessTimeoutMs));
	EXPECT_EQ(scanner.value("InitializeDriver"), "1") << scanner.output();
	EXPECT_EQ(scanner.value("setScanParameter"), "1");
	EXPECT_EQ(scanner.value("StopScan"), "1");
	EXPECT_EQ(scanner.value("TerminateDriver"), "1");
	getState(&state);
	EXPECT_EQ(state.scanBusy, 0);
	EXPECT_EQ(here.call("TerminateDriver"), 1);
}

// A process that ends inside its scan cycle (killed, say) takes its
// ScanBusy with it: the others are not refused for ever.
TEST_F(Processes, ScanBusyEndsWithTheProcessThatSetIt)
{
	Library here(library);
	ASSERT_TRUE(here.loaded());
	NamedEvent set("set");
	NamedEvent never("never");
	ChildProcess scanner;
	ASSERT_TRUE(scanner.start(dllHost(), steps({ "simulate", "call:InitializeDriver", "setScanParameter:600,4,24,40",
						     "signal:" + set.name(), "wait:" + never.name() })));
	ASSERT_TRUE(set.wait(kProcessTimeoutMs));
	EXPECT_EQ(here.call("TerminateDriver"), 0);
	// Ended by force (TerminateProcess) inside its scan cycle.
	EXPECT_FALSE(scanner.finish(0));
	EXPECT_EQ(here.call("TerminateDriver"), 1);
}

TEST_F(Processes, EachCopyOfTheLibraryFileHasAFlagOfItsOwn)
{
	// A copy of the file is another image: it has its own shared section.
	Library first(library);
	ASSERT_TRUE(first.loaded());
	first.function<TorvaneTestSetScanBusyCall>("TorvaneTestSetScanBusy")(1);
	const std::string copy = copyAs(testDriverDll(), dir, "KT918.dll");
	const std::string output = runProcess(dllHost(), { copy, "call:TerminateDriver" });
	EXPECT_NE(output.find("TerminateDriver=1"), std::string::npos) << output;
	first.function<TorvaneTestSetScanBusyCall>("TorvaneTestSetScanBusy")(0);
}

TEST_F(Processes, AHostNamedVexMarchExeGetsTheRawImageWithoutTheModelFilters)
{
	// 300 dpi colour on an RM735: the model filters run, except in raw test
	// mode.
	for (const Host &host : { Host{ "VexMarch.exe", "1" }, Host{ "front.exe", "0" } }) {
		TempDir hostDir;
		const std::string program = copyAs(dllHost(), hostDir, host.name);
		ChildProcess child;
		ASSERT_TRUE(child.start(program, steps({ "simulate", "call:InitializeDriver", "call:InitializeScanner",
							 "scan:300,4,24,40" })));
		ASSERT_TRUE(child.finish(kProcessTimeoutMs));
		EXPECT_EQ(child.value("scan"), "1") << host.name << ": " << child.output();
		EXPECT_EQ(child.value("image.equalsRaw"), host.rawTestMode) << host.name;
	}
}

TEST_F(Processes, OnlyAHostNamedVexMarchExeSwitchesOnRawTestMode)
{
	for (const Host &host : { Host{ "VexMarch.exe", "1" }, Host{ "VEXMARCH.EXE", "1" }, Host{ "vexmarch.exe", "1" },
				  Host{ "xvexmarch.exe", "0" }, Host{ "vexmarch.exe.exe", "0" }, Host{ "front.exe", "0" } }) {
		TempDir hostDir;
		const std::string program = copyAs(dllHost(), hostDir, host.name);
		ASSERT_FALSE(program.empty());
		const std::string output = runProcess(program, steps({ "state" }));
		EXPECT_NE(output.find(std::string("rawTestMode=") + host.rawTestMode), std::string::npos)
			<< host.name << ": " << output;
	}
}

} // namespace
