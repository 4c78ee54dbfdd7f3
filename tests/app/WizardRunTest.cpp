// The unattended run's logic against scripted fake boards: polls, visibility, the transfer
// sequence on the wire, the console lines and every way the run ends.

#include "ui/wizard/WizardRun.h"

#include "lang/DefaultStrings.h"
#include "lang/LanguageStrings.h"
#include "lang/TextFormat.h"
#include "support/FakePipeBackend.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <iostream>
#include <sstream>
#include <unistd.h>

namespace
{
class CRecordingFace : public IWizardFace
{
public:
    std::vector<std::string> m_events;
    int m_nTimerError = 0;
    int m_nTimersStarted = 0;
    std::function<void(const std::string&)> m_fnOnStatus;

    void SetStatusText(const std::string& strText) override
    {
        m_events.push_back("status " + strText);
        if (m_fnOnStatus)
        {
            m_fnOnStatus(strText);
        }
    }
    void ShowErrorBox(const std::string& strText, const std::string& strCaption,
                      bool bSystemModal) override
    {
        m_events.push_back("box " + strCaption + (bSystemModal ? " modal " : " icon ") + strText);
    }
    void SetVisible(bool bVisible) override { m_events.push_back(bVisible ? "show" : "hide"); }
    void SetCancelCaption(const std::string& strCaption) override
    {
        m_events.push_back("caption " + strCaption);
    }
    int StartPollTimer() override
    {
        ++m_nTimersStarted;
        return m_nTimerError;
    }
    void EndDialog(int nResult) override { m_events.push_back("end " + std::to_string(nResult)); }
    bool OnTransferProgress(uint64_t, uint64_t) override { return true; }
    void ShowWaitingNotice(const std::string& strNotice) override
    {
        m_events.push_back("waiting " + strNotice);
    }

    int Count(const std::string& strEvent) const
    {
        return static_cast<int>(std::count(m_events.begin(), m_events.end(), strEvent));
    }
};

std::string Bytes(const std::vector<uint8_t>& bytes)
{
    return std::string(bytes.begin(), bytes.end());
}

std::string LengthField(uint32_t nLength)
{
    std::string str(4, '\0');
    for (int i = 0; i < 4; ++i)
    {
        str[i] = static_cast<char>((nLength >> (8 * i)) & 0xFF);
    }
    return str;
}

class WizardRunTest : public ::testing::Test
{
protected:
    CFakePipeBackend m_backend;
    CFakeBoard m_board;
    CPipeBackendOverride m_override{{&m_backend}};
    CRecordingFace m_face;
    std::ostringstream m_out;
    std::streambuf* m_pPreviousOut = nullptr;
    std::string m_strFile;
    std::string m_strData = std::string("\x7f"
                                        "ELF image \0\x01\x02 with x and s",
                                        27);

    void SetUp() override
    {
        CLanguageStrings::Instance().Reset();
        CWizardRun::s_nPollCount = 0;
        m_pPreviousOut = std::cout.rdbuf(m_out.rdbuf());
        char szName[] = "/tmp/quillon-run-XXXXXX";
        const int fd = mkstemp(szName);
        ASSERT_GE(fd, 0);
        close(fd);
        m_strFile = szName;
        WriteFile(m_strData);
    }

    void TearDown() override
    {
        std::cout.rdbuf(m_pPreviousOut);
        unlink(m_strFile.c_str());
    }

    void WriteFile(const std::string& strData)
    {
        std::ofstream(m_strFile, std::ios::binary | std::ios::trunc) << strData;
    }

    void Attach(CFakeBoard& board) { m_backend.m_boards.push_back(&board); }

    std::string Text(int nId) { return GetDefaultString(nId); }

    std::string SuccessOutput(const std::string& strVersion = "Plinth BL 2.0")
    {
        return Text(45) + m_board.m_strDescription + "(" + strVersion + ") \r\n\n" + Text(37) +
               " " + m_strFile + "\r\n\n" + Text(38) + "\r\n\n" + Text(26) + "\n";
    }

    std::string FullWire()
    {
        return "vvs" + LengthField(static_cast<uint32_t>(m_strData.size())) + m_strData + "x";
    }
};

TEST_F(WizardRunTest, HiddenDuringTheFirstTenEmptyPollsThenShownAtEachTick)
{
    CWizardRun run(m_face, m_strFile);
    ASSERT_TRUE(run.Start());
    EXPECT_EQ(m_face.m_events, std::vector<std::string>{"status " + Text(30)});

    for (int nTick = 1; nTick <= 13; ++nTick)
    {
        m_face.m_events.clear();
        run.OnTimer();
        std::vector<std::string> expected;
        if (nTick <= WIZARD_HIDDEN_POLLS)
        {
            expected.push_back("hide");
        }
        // The face is told once, at the first empty poll, what the run waits for.
        if (nTick == 1)
        {
            ASSERT_EQ(m_face.m_events.size(), 2u);
            EXPECT_TRUE(m_face.m_events[1].starts_with("waiting ")) << m_face.m_events[1];
            m_face.m_events.pop_back();
        }
        if (nTick >= WIZARD_HIDDEN_POLLS)
        {
            expected.push_back("show");
        }
        EXPECT_EQ(m_face.m_events, expected) << "tick " << nTick;
    }
    EXPECT_EQ(CWizardRun::s_nPollCount, 13);
    EXPECT_EQ(m_backend.m_nListCalls, 13);
    EXPECT_EQ(m_face.m_nTimersStarted, 14); // at the start and after every empty poll
    EXPECT_FALSE(run.IsEnded());
    EXPECT_EQ(m_out.str(), "");
}

TEST_F(WizardRunTest, PollCountIsKeptAcrossRuns)
{
    CWizardRun::s_nPollCount = WIZARD_HIDDEN_POLLS;
    Attach(m_board);
    CWizardRun run(m_face, m_strFile);
    ASSERT_TRUE(run.Start());
    run.OnTimer();

    EXPECT_EQ(m_face.Count("hide"), 0);
    EXPECT_EQ(run.Result(), RESULT_LOADED);
}

TEST_F(WizardRunTest, BoardFoundSendsWithTwoVersionExchangesAndReportsFourLines)
{
    Attach(m_board);
    CWizardRun run(m_face, m_strFile);
    ASSERT_TRUE(run.Start());
    EXPECT_TRUE(run.HoldsFileData());
    run.OnTimer();

    EXPECT_TRUE(run.IsEnded());
    EXPECT_EQ(run.Result(), RESULT_LOADED);
    EXPECT_EQ(Bytes(m_board.m_hostToBoard), FullWire());
    EXPECT_EQ(m_out.str(), SuccessOutput());
    EXPECT_FALSE(run.HoldsFileData());
    EXPECT_EQ(m_board.m_nOpenPipes, 0);
    EXPECT_EQ(m_face.m_nTimersStarted, 1); // not restarted once a board was found
    // The Close caption comes with the send's success, before the execute.
    const std::vector<std::string> expected = {"status " + Text(30),
                                               "hide",
                                               "status " + Text(45) + m_board.m_strDescription +
                                                   "(Plinth BL 2.0) \r\n",
                                               "status " + Text(37) + " " + m_strFile + "\r\n",
                                               "status " + Text(38) + "\r\n",
                                               "caption " + Text(48),
                                               "status " + Text(26),
                                               "end 0"};
    EXPECT_EQ(m_face.m_events, expected);
}

struct CBannerCase
{
    std::string m_strReply; // 14 bytes on the wire
    int m_nResult;
};

class WizardRunBannerTest : public WizardRunTest, public ::testing::WithParamInterface<CBannerCase>
{
};

TEST_P(WizardRunBannerTest, OldBannerRefusedInAnyLetterCase)
{
    m_board.m_strVersionReply = GetParam().m_strReply;
    Attach(m_board);
    CWizardRun run(m_face, m_strFile);
    ASSERT_TRUE(run.Start());
    run.OnTimer();

    EXPECT_EQ(run.Result(), GetParam().m_nResult);
    const std::string strVersion =
        GetParam().m_strReply.substr(0, GetParam().m_strReply.find('\0'));
    const std::string strBoardLine =
        Text(45) + m_board.m_strDescription + "(" + strVersion + ") \r\n\n";
    if (GetParam().m_nResult == RESULT_OLD_BOOTLOADER)
    {
        EXPECT_EQ(Bytes(m_board.m_hostToBoard), "vv");
        EXPECT_EQ(m_out.str(), strBoardLine + Text(47) + "\n");
        EXPECT_EQ(m_face.Count("box " + Text(46) + " icon " + Text(47)), 1);
    }
    else
    {
        EXPECT_EQ(Bytes(m_board.m_hostToBoard), FullWire());
        EXPECT_EQ(m_out.str(), SuccessOutput(strVersion));
    }
    EXPECT_FALSE(run.HoldsFileData());
    EXPECT_EQ(m_board.m_nOpenPipes, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Banners, WizardRunBannerTest,
    ::testing::Values(CBannerCase{std::string("quillon V1.0c\0", 14), RESULT_OLD_BOOTLOADER},
                      CBannerCase{std::string("QUILLON V1.0C\0", 14), RESULT_OLD_BOOTLOADER},
                      CBannerCase{std::string("qUiLlOn v1.0C\0", 14), RESULT_OLD_BOOTLOADER},
                      CBannerCase{std::string("quillon V1.0d\0", 14), RESULT_LOADED},
                      CBannerCase{std::string("quillon V1.0c ", 14), RESULT_LOADED},
                      CBannerCase{std::string(14, '\0'), RESULT_LOADED}));

TEST_F(WizardRunTest, FilesThatReadShortAreRefusedWith25)
{
    // A directory reads nothing; a sysfs file claims a page but reads a few bytes.
    for (const char* pszPath : {"/tmp", "/sys/devices/system/cpu/online"})
    {
        if (access(pszPath, R_OK) != 0)
        {
            continue;
        }
        CWizardRun run(m_face, pszPath);
        EXPECT_FALSE(run.Start()) << pszPath;
        EXPECT_EQ(run.Result(), RESULT_CANNOT_LOAD) << pszPath;
        EXPECT_FALSE(run.HoldsFileData());
        EXPECT_EQ(m_face.m_nTimersStarted, 0);
    }
}

TEST_F(WizardRunTest, TimerFailureComplainsAndWaitsForCancel)
{
    m_face.m_nTimerError = 11;
    CWizardRun run(m_face, m_strFile);
    ASSERT_TRUE(run.Start());
    EXPECT_EQ(m_face.Count("box " + Text(46) + " modal " + FormatWithNumber(Text(36), 11)), 1);
    EXPECT_FALSE(run.IsEnded());

    run.Cancel();
    EXPECT_EQ(run.Result(), RESULT_CANCELLED);
    EXPECT_FALSE(run.HoldsFileData());
}

TEST_F(WizardRunTest, CancelWhileWaitingEndsTheRunAndStopsPolling)
{
    CWizardRun run(m_face, m_strFile);
    ASSERT_TRUE(run.Start());
    run.OnTimer();
    run.Cancel();
    Attach(m_board);
    run.OnTimer();

    EXPECT_EQ(run.Result(), RESULT_CANCELLED);
    EXPECT_EQ(m_backend.m_nListCalls, 1);
    EXPECT_TRUE(m_board.m_hostToBoard.empty());
    EXPECT_EQ(m_face.Count("end 2"), 1);
}

TEST_F(WizardRunTest, CancelDuringTheVersionExchangeSendsNothing)
{
    Attach(m_board);
    CWizardRun run(m_face, m_strFile);
    ASSERT_TRUE(run.Start());
    m_face.m_fnOnStatus = [&run](const std::string&) { run.Cancel(); };
    run.OnTimer();

    EXPECT_EQ(run.Result(), RESULT_CANCELLED);
    EXPECT_EQ(Bytes(m_board.m_hostToBoard), "vv");
    EXPECT_EQ(m_out.str(), Text(45) + m_board.m_strDescription + "(Plinth BL 2.0) \r\n\n");
    EXPECT_EQ(m_board.m_nOpenPipes, 0);
}

TEST_F(WizardRunTest, VersionLineWithTheBuiltInTexts)
{
    EXPECT_EQ(CWizardRun::VersionLine(), "Quillon version:1.2.1.0");
}

// A board that is listed but has nothing behind it (a killed board program's directory, a
// board gone while being opened) is no board: the next one is used, else polling goes on.
TEST_F(WizardRunTest, BoardThatIsNotThereIsSkippedLikeAMissingOne)
{
    struct Case
    {
        const char* m_pszName;
        bool m_bLiveBoardBeside;
        int m_nResult;
    };
    for (const Case& c : {Case{"live board beside", true, RESULT_LOADED},
                          Case{"alone, wait over", false, RESULT_CANCELLED}})
    {
        SCOPED_TRACE(c.m_pszName);
        CFakeBoard dead;
        dead.m_strPath = "/fake/a\x1b[2J-dead"; // a name that would clear the screen
        dead.m_bReadPipeOpens = dead.m_bWritePipeOpens = false;
        CFakeBoard live;
        m_backend.m_boards = {&dead};
        if (c.m_bLiveBoardBeside)
        {
            m_backend.m_boards.push_back(&live);
        }
        m_out.str("");
        std::ostringstream err;
        std::streambuf* pPreviousErr = std::cerr.rdbuf(err.rdbuf());
        CWizardOptions options;
        options.m_nWaitMs = 0;
        CWizardRun run(m_face, m_strFile, options);
        ASSERT_TRUE(run.Start());
        run.OnTimer();
        std::cerr.rdbuf(pPreviousErr);

        EXPECT_EQ(run.Result(), c.m_nResult);
        EXPECT_TRUE(dead.m_hostToBoard.empty());
        EXPECT_EQ(Bytes(live.m_hostToBoard), c.m_bLiveBoardBeside ? FullWire() : "");
        EXPECT_EQ(m_out.str().find(Text(39)), std::string::npos) << m_out.str();
        EXPECT_NE(err.str().find("Skipping /fake/a?[2J-dead: no board answers there"),
                  std::string::npos)
            << err.str();
        // The board named as used is the one that was.
        EXPECT_EQ(err.str().find(
                      "2 boards attached; using the first that answers: " + live.m_strDescription +
                      " (" + live.m_strPath + ")") == std::string::npos,
                  !c.m_bLiveBoardBeside)
            << err.str();
    }
}

// The console lines keep their exact text; standard error gets the reason as one more line.
TEST_F(WizardRunTest, FailedSendAndExecuteSayWhyOnStandardError)
{
    struct Case
    {
        int m_nFaultStep;
        uint8_t m_nReply;
        int m_nResult;
        std::string m_strLastLine;
        std::string m_strReason;
    };
    const Case cases[] = {
        {0, '#', RESULT_SEND_FAILED, Text(39) + "\n",
         "Reason: the board answered '#' (0x23) where '>' (0x3E) was expected.\n"},
        // Loaded, but not known to run: a failure for a script, with the window's texts kept.
        {3, 'Q', RESULT_SEND_FAILED, FormatWithNumber(Text(36), 'Q') + "\n" + Text(26) + "\n",
         "Reason: the image was loaded, but the board did not confirm its start: the board "
         "answered 'Q' (0x51) where '#' (0x23) was expected.\n"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.m_strReason);
        CFakeBoard board;
        board.m_nFaultStep = c.m_nFaultStep;
        board.m_nWrongReplyAtStep = c.m_nReply;
        m_backend.m_boards = {&board};
        m_out.str("");
        std::ostringstream err;
        std::streambuf* pPreviousErr = std::cerr.rdbuf(err.rdbuf());
        CWizardRun run(m_face, m_strFile);
        ASSERT_TRUE(run.Start());
        run.OnTimer();
        std::cerr.rdbuf(pPreviousErr);

        EXPECT_EQ(run.Result(), c.m_nResult);
        const std::string strOut = m_out.str();
        ASSERT_GE(strOut.size(), c.m_strLastLine.size());
        EXPECT_EQ(strOut.substr(strOut.size() - c.m_strLastLine.size()), c.m_strLastLine);
        EXPECT_NE(err.str().find(c.m_strReason), std::string::npos) << err.str();
        // The machine-readable record carries the same reason.
        EXPECT_EQ("Reason: " + run.Record().m_strReason + ".\n", c.m_strReason);
    }
}

// A run that waits says once what it waits for, where it looks and how to stop or bound the
// wait; a run that finds its board at once says nothing of the kind.
TEST_F(WizardRunTest, WaitingIsSaidOnceWithWhatWhereAndHowToStop)
{
    struct Case
    {
        const char* m_pszName;
        std::string m_strDevice;
        int64_t m_nWaitMs;
        bool m_bBoard;
        std::vector<std::string> m_said; // empty: nothing said
    };
    const Case cases[] = {
        {"any board",
         "",
         -1,
         false,
         {"Waiting for a board in bootloader mode", " in the virtual-board registry ",
          "connect the board and press its reset button",
          "Ctrl-C stops the wait; --wait SECONDS gives up after that time."}},
        {"the chosen board", "/fake/other", -1, true, {"Waiting for the board /fake/other"}},
        {"bounded", "", 2500, false, {"Giving up after 2.5 s; Ctrl-C stops sooner."}},
        {"board at once", "", -1, true, {}},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.m_pszName);
        m_backend.m_boards.clear();
        if (c.m_bBoard)
        {
            Attach(m_board);
        }
        m_face.m_events.clear();
        CWizardOptions options;
        options.m_strDevicePath = c.m_strDevice;
        options.m_nWaitMs = c.m_nWaitMs;
        CWizardRun run(m_face, m_strFile, options);
        ASSERT_TRUE(run.Start());
        run.OnTimer();
        run.OnTimer();

        std::vector<std::string> said;
        for (const std::string& strEvent : m_face.m_events)
        {
            if (strEvent.starts_with("waiting "))
            {
                said.push_back(strEvent);
            }
        }
        ASSERT_EQ(said.size(), c.m_said.empty() ? 0u : 1u);
        for (const std::string& strText : c.m_said)
        {
            EXPECT_NE(said.front().find(strText), std::string::npos) << said.front();
        }
    }
}
} // namespace
