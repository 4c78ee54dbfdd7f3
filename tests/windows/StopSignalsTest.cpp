// Ctrl-C and Ctrl-Break on Windows: the first asks the run to stop and wakes its waits and the
// pipe layer's, the second ends the process with the run's cancel result. Wine 8 delivers no
// console control events to a program it runs this way: there the tests say so and skip.

#include "ui/wizard/StopSignals.h"
#include "ui/wizard/WizardRun.h"
#include "usb/PipeLayer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <windows.h>

namespace
{
// The console's control events reach this process only when it has a console; CTest's pipes
// give it none, so it makes one of its own.
bool SendToOurselves(DWORD nEvent)
{
    if (::GetConsoleWindow() == nullptr && !::AllocConsole())
    {
        return false;
    }
    return ::GenerateConsoleCtrlEvent(nEvent, 0) != FALSE;
}

TEST(WindowsStopSignalsTest, TheFirstEventStopsTheRunAndWakesItsWaits)
{
    for (const DWORD nEvent : {CTRL_C_EVENT, CTRL_BREAK_EVENT})
    {
        SCOPED_TRACE(nEvent);
        CStopSignalGuard guard;
        ASSERT_TRUE(guard.IsInstalled());
        EXPECT_FALSE(StopRequested());
        if (!SendToOurselves(nEvent))
        {
            GTEST_SKIP() << "no console control events here";
        }
        const auto start = std::chrono::steady_clock::now();
        // Generous: the handler runs on a thread of its own, on a busy machine.
        while (!StopRequested() &&
               std::chrono::steady_clock::now() - start < std::chrono::seconds(20))
        {
            WaitForStopSignal(20000);
        }
        EXPECT_TRUE(StopRequested());
        EXPECT_TRUE(PipeCancelRaised());
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
        ClearStopRequest();
        EXPECT_FALSE(StopRequested());
        EXPECT_FALSE(PipeCancelRaised());
    }
}

TEST(WindowsStopSignalsTest, TheSecondEventEndsTheProcessWithTheCancelResult)
{
    {
        CStopSignalGuard probe;
        if (!SendToOurselves(CTRL_C_EVENT))
        {
            GTEST_SKIP() << "no console control events here";
        }
        while (!StopRequested())
        {
            WaitForStopSignal(1000);
        }
        ClearStopRequest();
    }
    EXPECT_EXIT(
        {
            CStopSignalGuard guard;
            SendToOurselves(CTRL_C_EVENT);
            while (!StopRequested())
            {
                WaitForStopSignal(1000);
            }
            SendToOurselves(CTRL_C_EVENT);
            ::Sleep(20000);
            std::exit(0);
        },
        testing::ExitedWithCode(RESULT_CANCELLED), "");
}
} // namespace
