// The bootloader's faults that a USB board needs beyond a socket's: a stalled reply, and the
// moment the execute is answered (a real board starts its program then).

#include "board/BootloaderCore.h"

#include <gtest/gtest.h>

#include <string>

namespace
{
using Bootloader::CBootloaderCore;
using Bootloader::Clock;

// Feeds the host's bytes as the core takes them and returns what it answers. *pnStalls counts
// the stalls it asked for on the way.
std::string Exchange(CBootloaderCore& core, const std::string& strHost, int* pnStalls)
{
    std::string strBoard;
    size_t nAt = 0;
    for (int nGuard = 0; nGuard < 100; ++nGuard)
    {
        const auto now = Clock::now();
        const auto output = core.Output(now);
        if (!output.empty())
        {
            strBoard.append(output.begin(), output.end());
            core.OutputDone(output.size(), now);
            continue;
        }
        const auto input = core.InputSpace(now);
        if (input.empty() || nAt == strHost.size())
        {
            break;
        }
        const size_t nTake = std::min(input.size(), strHost.size() - nAt);
        std::copy_n(strHost.begin() + static_cast<long>(nAt), nTake, input.begin());
        nAt += nTake;
        core.InputDone(nTake, now);
        *pnStalls += core.TakeStall() ? 1 : 0;
    }
    return strBoard;
}

const std::string SEND = std::string("s") + std::string("\x03\x00\x00\x00", 4) + "abc";
const std::string RECEIVE = std::string("R") + std::string("\x02\x00\x00\x00", 4);

TEST(BootloaderCoreTest, AStallReplacesItsReplyAndSilencesTheRestOfTheCommand)
{
    struct CCase
    {
        const char* m_pszStep;
        std::string m_strHost;
        std::string m_strBeforeStall; // what the board answered before it stalled
    };
    const CCase cases[] = {
        {"s1", SEND, ""},    {"s2", SEND, ">"},    {"s3", SEND, ">>"},
        {"R1", RECEIVE, ""}, {"R2", RECEIVE, ">"}, {"R3", RECEIVE, std::string(">>ab")},
        {"x1", "x", ""},     {"v1", "v", ""},
    };
    for (const CCase& c : cases)
    {
        SCOPED_TRACE(c.m_pszStep);
        Bootloader::CSettings settings;
        settings.m_faults.m_stallStep = Bootloader::ParseStep(c.m_pszStep);
        CBootloaderCore core(settings);
        core.Memory().Assign({'a', 'b', 'c'});
        int nStalls = 0;
        EXPECT_EQ(Exchange(core, c.m_strHost, &nStalls), c.m_strBeforeStall);
        EXPECT_EQ(nStalls, 1);
        EXPECT_FALSE(core.TakeStall()) << "a stall is taken once";
        // The next command is answered again.
        nStalls = 0;
        core.Reset();
        EXPECT_EQ(Exchange(core, "x", &nStalls), c.m_strHost == "x" ? "" : "#");
    }
}

TEST(BootloaderCoreTest, TheProgramStartsOnlyOnceTheExecuteIsAnsweredRightAndWhole)
{
    struct CCase
    {
        const char* m_pszName;
        std::string m_strHost;
        Bootloader::CFaults m_faults;
        bool m_bStarts;
    };
    Bootloader::CFaults wrong;
    wrong.m_wrongReplyStep = Bootloader::EStep::Execute;
    Bootloader::CFaults silent;
    silent.m_silentStep = Bootloader::EStep::Execute;
    Bootloader::CFaults stalled;
    stalled.m_stallStep = Bootloader::EStep::Execute;
    const CCase cases[] = {
        {"execute", "x", {}, true},         {"execute after a send", SEND + "x", {}, true},
        {"wrong reply", "x", wrong, false}, {"no reply", "x", silent, false},
        {"stalled", "x", stalled, false},   {"version", "v", {}, false},
        {"send", SEND, {}, false},
    };
    for (const CCase& c : cases)
    {
        SCOPED_TRACE(c.m_pszName);
        Bootloader::CSettings settings;
        settings.m_faults = c.m_faults;
        CBootloaderCore core(settings);
        int nStalls = 0;
        Exchange(core, c.m_strHost, &nStalls);
        EXPECT_EQ(core.TakeProgramStarted(), c.m_bStarts);
        EXPECT_FALSE(core.TakeProgramStarted()) << "the start is taken once";
    }
    // Not before the answer has gone out whole.
    CBootloaderCore core({});
    const auto input = core.InputSpace(Clock::now());
    ASSERT_EQ(input.size(), 1u);
    input[0] = 'x';
    core.InputDone(1, Clock::now());
    EXPECT_FALSE(core.TakeProgramStarted());
    ASSERT_EQ(core.Output(Clock::now()).size(), 1u);
    core.OutputDone(1, Clock::now());
    EXPECT_TRUE(core.TakeProgramStarted());
}
} // namespace
