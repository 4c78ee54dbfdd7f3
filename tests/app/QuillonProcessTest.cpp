// The program as scripts see it: console-only runs against virtual boards, with exit codes,
// console lines and wire bytes checked exactly.

#include "app/ProcessHarness.h"
#include "support/HostileBoard.h"

#include "lang/TextFormat.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <optional>
#include <random>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace
{
const std::string DESCRIPTION = "Bench board 7";
const std::string BANNER = "Plinth BL 9.4";

std::string VersionLine(const std::string& strSection = "LANG_ENGLISH")
{
    return FormatWithString(LanguageText(21, strSection) + "1.2.1.0", "Quillon") + "\n";
}

std::string BoardLine(const std::string& strBanner = BANNER)
{
    return LanguageText(45) + DESCRIPTION + "(" + strBanner + ") \r\n\n";
}

std::string SendingLine(const std::string& strName)
{
    return LanguageText(37) + " " + strName + "\r\n\n";
}

std::string Line(int nId, const std::string& strSection = "LANG_ENGLISH")
{
    return LanguageText(nId, strSection) + "\n";
}

std::string RandomBytes(size_t nCount)
{
    std::mt19937 random(static_cast<unsigned>(nCount));
    std::string strBytes(nCount, '\0');
    for (char& c : strBytes)
    {
        c = static_cast<char>(random());
    }
    return strBytes;
}

std::vector<uint8_t> Bytes(const std::string& str)
{
    return std::vector<uint8_t>(str.begin(), str.end());
}

class QuillonProcessTest : public ::testing::Test
{
protected:
    CScratch m_scratch;
    CBoardProcess m_board;

    void AttachBoard(const std::vector<std::string>& options = {})
    {
        std::vector<std::string> all = {"--banner", BANNER};
        all.insert(all.end(), options.begin(), options.end());
        ASSERT_TRUE(m_board.Start(m_scratch, {"plinth0=" + DESCRIPTION}, all));
    }

    CProcessResult Run(const std::vector<std::string>& arguments,
                       const std::vector<std::string>& environment = {})
    {
        return RunProgram(arguments, m_scratch.Environment(environment), m_scratch.m_strRoot);
    }

    CBoardWire Wire(const std::string& strBoard = "plinth0")
    {
        m_board.Stop();
        return ReadWireLog(m_scratch.BoardLog())[strBoard];
    }
};

// Every row of the unattended run's outcomes, from the program's side and the wire's.
struct CRunCase
{
    const char* m_pszName;
    std::vector<std::string> m_boardOptions; // empty with m_bBoard false: no board at all
    bool m_bBoard;
    enum EFile
    {
        Data,
        Missing,
        Empty,
        Folder,
        Fifo
    } m_eFile;
    std::vector<std::string> m_extraArguments;
    int m_nExit;
    // Built from the language file at run time: the expected standard output.
    std::string (*m_fnOut)(const std::string& strFile);
    std::string m_strErrContains;
    // The expected host-to-board bytes, given the file's bytes.
    std::string (*m_fnWire)(const std::string& strData);
};

const std::string FILE_NAME = "image.bin";

std::string SentOut(const std::string& strFile)
{
    return VersionLine() + BoardLine() + SendingLine(strFile) + LanguageText(38) + "\r\n\n" +
           Line(26);
}

std::string FullWire(const std::string& strData)
{
    return "vvs" + WireLength(static_cast<uint32_t>(strData.size())) + strData + "x";
}

const CRunCase RUN_CASES[] = {
    {"Sent", {}, true, CRunCase::Data, {}, 0, SentOut, "image.bin: binary, 3000 bytes\n", FullWire},
    {"FileMissing",
     {},
     true,
     CRunCase::Missing,
     {},
     25,
     [](const std::string&) { return VersionLine() + Line(25); },
     "Error: Cannot load file missing.bin (No such file or directory)\n",
     [](const std::string&) { return std::string(); }},
    {"FileEmpty",
     {},
     true,
     CRunCase::Empty,
     {},
     25,
     [](const std::string&) { return VersionLine() + Line(25); },
     "Error: Cannot load file " + FILE_NAME + " (the file is empty)\n",
     [](const std::string&) { return std::string(); }},
    {"FileIsAFolder",
     {},
     true,
     CRunCase::Folder,
     {},
     25,
     [](const std::string&) { return VersionLine() + Line(25); },
     "Error: Cannot load file " + FILE_NAME + " (it is a folder)\n",
     [](const std::string&) { return std::string(); }},
    {"FileIsAFifo",
     {},
     true,
     CRunCase::Fifo,
     {},
     25,
     [](const std::string&) { return VersionLine() + Line(25); },
     "Error: Cannot load file " + FILE_NAME + " (it is a FIFO (named pipe), not a file)\n",
     [](const std::string&) { return std::string(); }},
    {"OldBanner",
     {"--banner", "quillon V1.0c"},
     true,
     CRunCase::Data,
     {},
     47,
     [](const std::string&) { return VersionLine() + BoardLine("quillon V1.0c") + Line(47); },
     "Error: " + LanguageText(47) + "\n",
     [](const std::string&) { return std::string("vv"); }},
    {"OldBannerOtherCase",
     {"--banner", "QUILLON v1.0C"},
     true,
     CRunCase::Data,
     {},
     47,
     [](const std::string&) { return VersionLine() + BoardLine("QUILLON v1.0C") + Line(47); },
     "Error: " + LanguageText(47) + "\n",
     [](const std::string&) { return std::string("vv"); }},
    {"SendRefusedAtCommand",
     {"--wrong-reply", "s1"},
     true,
     CRunCase::Data,
     {},
     39,
     [](const std::string& f) { return VersionLine() + BoardLine() + SendingLine(f) + Line(39); },
     "Error: " + LanguageText(39) + "\n",
     [](const std::string&) { return std::string("vvs"); }},
    {"SendRefusedAtLength",
     {"--wrong-reply", "s2"},
     true,
     CRunCase::Data,
     {},
     39,
     [](const std::string& f) { return VersionLine() + BoardLine() + SendingLine(f) + Line(39); },
     "Error: " + LanguageText(39) + "\n",
     [](const std::string& d) { return "vvs" + WireLength(static_cast<uint32_t>(d.size())); }},
    {"SendNotConfirmed",
     {"--wrong-reply", "s3"},
     true,
     CRunCase::Data,
     {},
     39,
     [](const std::string& f) { return VersionLine() + BoardLine() + SendingLine(f) + Line(39); },
     "Error: " + LanguageText(39) + "\n",
     [](const std::string& d) { return "vvs" + WireLength(static_cast<uint32_t>(d.size())) + d; }},
    // The image is loaded but not known to run: the window's texts, and a failure.
    {"ExecuteRefused",
     {"--wrong-reply", "x1:41"},
     true,
     CRunCase::Data,
     {},
     39,
     [](const std::string& f)
     {
         return VersionLine() + BoardLine() + SendingLine(f) + LanguageText(38) + "\r\n\n" +
                FormatWithNumber(LanguageText(36), 0x41) + "\n" + Line(26);
     },
     "Error: " + FormatWithNumber(LanguageText(36), 0x41) + "\n",
     FullWire},
    {"VersionUnanswered",
     {"--no-reply", "v1"},
     true,
     CRunCase::Data,
     {"--timeout", "300"},
     0,
     [](const std::string& f) {
         return VersionLine() + BoardLine("") + SendingLine(f) + LanguageText(38) + "\r\n\n" +
                Line(26);
     },
     "image.bin: binary, 3000 bytes\n",
     FullWire},
    {"NoBoardWithinWait",
     {},
     false,
     CRunCase::Data,
     {"--wait", "0.5"},
     2,
     [](const std::string&) { return VersionLine(); },
     "No board found within 0.5 s",
     [](const std::string&) { return std::string(); }},
};

class QuillonRunTable : public QuillonProcessTest, public ::testing::WithParamInterface<CRunCase>
{
};

TEST_P(QuillonRunTable, ExitCodeLinesAndWire)
{
    const CRunCase& row = GetParam();
    if (row.m_bBoard)
    {
        AttachBoard(row.m_boardOptions);
    }
    const std::string strData = row.m_eFile == CRunCase::Data ? RandomBytes(3000) : "";
    if (row.m_eFile == CRunCase::Folder)
    {
        std::filesystem::create_directory(m_scratch.Path(FILE_NAME));
    }
    else if (row.m_eFile == CRunCase::Fifo)
    {
        ASSERT_EQ(::mkfifo(m_scratch.Path(FILE_NAME).c_str(), 0600), 0);
    }
    else if (row.m_eFile != CRunCase::Missing)
    {
        m_scratch.WriteFile(FILE_NAME, strData);
    }
    const std::string strFile = row.m_eFile == CRunCase::Missing ? "missing.bin" : FILE_NAME;
    std::vector<std::string> arguments = row.m_extraArguments;
    arguments.push_back(strFile);

    const CProcessResult result = Run(arguments);

    EXPECT_EQ(result.m_nExitCode, row.m_nExit) << result.m_strErr;
    EXPECT_EQ(result.m_strOut, row.m_fnOut(strFile));
    if (row.m_strErrContains.empty())
    {
        EXPECT_EQ(result.m_strErr, "");
    }
    else
    {
        EXPECT_NE(result.m_strErr.find(row.m_strErrContains), std::string::npos) << result.m_strErr;
    }
    if (row.m_bBoard)
    {
        EXPECT_EQ(Wire().m_hostToBoard, Bytes(row.m_fnWire(strData)));
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, QuillonRunTable, ::testing::ValuesIn(RUN_CASES),
                         [](const auto& info) { return std::string(info.param.m_pszName); });

TEST_F(QuillonProcessTest, AbsolutePathAndPathWithBlanksAreSentWhole)
{
    AttachBoard();
    const std::string strData = RandomBytes(5000);
    m_scratch.WriteFile("my image.bin", strData);
    const std::string strPath = m_scratch.Path("my image.bin");

    const CProcessResult result = Run({strPath});

    EXPECT_EQ(result.m_nExitCode, 0) << result.m_strErr;
    EXPECT_EQ(result.m_strOut, SentOut(strPath));
    EXPECT_EQ(Wire().m_hostToBoard, Bytes(FullWire(strData)));
}

TEST_F(QuillonProcessTest, FileOf4GiBIsRefusedWithTheReason)
{
    const std::string strPath = m_scratch.Path("huge.bin");
    m_scratch.WriteFile("huge.bin", "");
    if (truncate(strPath.c_str(), 0x100000000ll) != 0)
    {
        GTEST_SKIP() << "no sparse files here";
    }
    AttachBoard();

    const CProcessResult result = Run({strPath});

    EXPECT_EQ(result.m_nExitCode, 25);
    EXPECT_EQ(result.m_strOut, VersionLine() + Line(25));
    EXPECT_NE(result.m_strErr.find("4 GiB"), std::string::npos) << result.m_strErr;
    EXPECT_EQ(Wire().m_nSessions, 0);
}

TEST_F(QuillonProcessTest, BoardAttachedTwoSecondsLaterIsFound)
{
    const std::string strData = RandomBytes(2000);
    m_scratch.WriteFile(FILE_NAME, strData);
    CChildProcess program;
    ASSERT_TRUE(program.Start({ProgramPath(), "--wait", "20", FILE_NAME}, m_scratch.Environment(),
                              m_scratch.m_strRoot));
    std::this_thread::sleep_for(std::chrono::seconds(2));
    AttachBoard();

    const CProcessResult result = program.Wait(std::chrono::seconds(20));

    EXPECT_EQ(result.m_nExitCode, 0) << result.m_strErr;
    EXPECT_EQ(result.m_strOut, SentOut(FILE_NAME));
    EXPECT_EQ(Wire().m_hostToBoard, Bytes(FullWire(strData)));
}

TEST_F(QuillonProcessTest, DeviceOptionChoosesTheBoardElseTheFirstIsUsed)
{
    ASSERT_TRUE(
        m_board.Start(m_scratch, {"a=" + DESCRIPTION, "b=" + DESCRIPTION}, {"--banner", BANNER}));
    m_scratch.WriteFile(FILE_NAME, RandomBytes(100));

    const CProcessResult chosen = Run({"--device", m_scratch.Registry() + "/b", FILE_NAME});
    const CProcessResult first = Run({FILE_NAME});

    EXPECT_EQ(chosen.m_nExitCode, 0) << chosen.m_strErr;
    EXPECT_EQ(first.m_nExitCode, 0) << first.m_strErr;
    EXPECT_EQ(chosen.m_strErr, FILE_NAME + ": binary, 100 bytes\n");
    EXPECT_EQ(first.m_strErr, FILE_NAME +
                                  ": binary, 100 bytes\n2 boards attached; using the first: " +
                                  DESCRIPTION + " (" + m_scratch.Registry() +
                                  "/a). Choose one with --device PATH, or all with --all.\n");
    m_board.Stop();
    auto wires = ReadWireLog(m_scratch.BoardLog());
    EXPECT_EQ(wires["a"].m_nSessions, 4); // the run without --device: v, v, s, x
    EXPECT_EQ(wires["b"].m_nSessions, 4);
}

TEST_F(QuillonProcessTest, ListShowsEachBoardWithPathAndBanner)
{
    ASSERT_TRUE(
        m_board.Start(m_scratch, {"a=First board", "b=Second board"}, {"--banner", BANNER}));

    const CProcessResult result = Run({"--list"});

    EXPECT_EQ(result.m_nExitCode, 0);
    EXPECT_EQ(result.m_strOut, "First board\t" + m_scratch.Registry() + "/a\t" + BANNER +
                                   "\nSecond board\t" + m_scratch.Registry() + "/b\t" + BANNER +
                                   "\n");
}

TEST_F(QuillonProcessTest, InterruptWhileWaitingEndsWithTwoInBothFaces)
{
    m_scratch.WriteFile(FILE_NAME, RandomBytes(10));
    const std::vector<std::string> faces[] = {{}, {"QT_QPA_PLATFORM=offscreen"}};
    for (const std::vector<std::string>& face : faces)
    {
        for (int nSignal : {SIGINT, SIGTERM})
        {
            CChildProcess program;
            ASSERT_TRUE(program.Start({ProgramPath(), FILE_NAME}, m_scratch.Environment(face),
                                      m_scratch.m_strRoot));
            ASSERT_TRUE(program.WaitForLines(1, std::chrono::seconds(10)));
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            program.Signal(nSignal);

            const CProcessResult result = program.Wait(std::chrono::seconds(5));

            EXPECT_EQ(result.m_nExitCode, 2) << nSignal << " " << face.size();
            EXPECT_EQ(result.m_strOut, VersionLine());
        }
    }
}

TEST_F(QuillonProcessTest, InterruptDuringSendIsNotReportedAsSent)
{
    // Larger than what the sockets buffer, so the host is still writing when it stops.
    AttachBoard({"--rate", "200000"});
    const std::string strData = RandomBytes(1024 * 1024);
    m_scratch.WriteFile(FILE_NAME, strData);
    CChildProcess program;
    ASSERT_TRUE(
        program.Start({ProgramPath(), FILE_NAME}, m_scratch.Environment(), m_scratch.m_strRoot));
    ASSERT_TRUE(program.WaitForLines(5, std::chrono::seconds(10))); // up to the sending line
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    program.Signal(SIGINT);

    const CProcessResult result = program.Wait(std::chrono::seconds(10));

    EXPECT_EQ(result.m_nExitCode, 2) << result.m_strErr;
    EXPECT_EQ(result.m_strOut, VersionLine() + BoardLine() + SendingLine(FILE_NAME));
    EXPECT_NE(result.m_strErr.find("not receive the whole file"), std::string::npos);
    const CBoardWire wire = Wire();
    EXPECT_LT(wire.m_hostToBoard.size(), FullWire(strData).size() - 1);
    EXPECT_EQ(wire.m_nSessions, 3); // v, v, s: no execute
}

TEST_F(QuillonProcessTest, MissingLanguageFileInACopiedLayout)
{
    namespace fs = std::filesystem;
    fs::create_directories(m_scratch.Path("bin"));
    fs::copy_file(ProgramPath(), m_scratch.Path("bin/quillon"));
    CChildProcess program;
    ASSERT_TRUE(program.Start({m_scratch.Path("bin/quillon"), "--headless", "x.bin"},
                              m_scratch.Environment(), m_scratch.m_strRoot));
    const CProcessResult missing = program.Wait(std::chrono::seconds(10));

    EXPECT_EQ(missing.m_nExitCode, 25);
    EXPECT_EQ(missing.m_strOut, "");
    EXPECT_EQ(missing.m_strErr,
              "Error: File not found: " + m_scratch.Path("bin/quillon.ini") + "\n");

    // The installed layout keeps the file in ../share/quillon.
    fs::create_directories(m_scratch.Path("share/quillon"));
    fs::copy_file(std::string(QUILLON_BUILD_DIR) + "/quillon.ini",
                  m_scratch.Path("share/quillon/quillon.ini"));
    CChildProcess installed;
    ASSERT_TRUE(installed.Start({m_scratch.Path("bin/quillon"), "--version", "-dede"},
                                m_scratch.Environment(), m_scratch.m_strRoot));
    const CProcessResult found = installed.Wait(std::chrono::seconds(10));
    EXPECT_EQ(found.m_nExitCode, 0);
    EXPECT_EQ(found.m_strOut, VersionLine("LANG_GERMAN"));
}

struct CLanguageCase
{
    const char* m_pszName;
    std::string m_strUserLanguage; // empty: no store
    std::vector<std::string> m_keywords;
    std::string m_strSection;
};

const CLanguageCase LANGUAGE_CASES[] = {
    {"Default", "", {}, "LANG_ENGLISH"},
    {"UserSetting", "DEDE", {}, "LANG_GERMAN"},
    {"UserSettingAnyCase", "nlNL", {}, "LANG_DUTCH"},
    {"EngbKeepsUserSetting", "DEDE", {"/engb"}, "LANG_GERMAN"},
    {"GermanBeforeFrench", "", {"-frfr", "-dede"}, "LANG_GERMAN"},
    {"GermanBeforeFrenchOtherOrder", "", {"-dede", "/frfr"}, "LANG_GERMAN"},
    {"EngbStopsTheOthers", "", {"-dede", "-engb"}, "LANG_ENGLISH"},
    {"KeywordOverridesUserSetting", "DEDE", {"-eses"}, "LANG_SPANISH"},
    {"KeywordInOtherCaseIgnored", "", {"-DEDE"}, "LANG_ENGLISH"},
};

class QuillonLanguageTable : public QuillonProcessTest,
                             public ::testing::WithParamInterface<CLanguageCase>
{
};

TEST_P(QuillonLanguageTable, VersionAndFailureLinesInTheChosenLanguage)
{
    const CLanguageCase& row = GetParam();
    if (!row.m_strUserLanguage.empty())
    {
        m_scratch.SetUserLanguage(row.m_strUserLanguage);
    }
    std::vector<std::string> arguments = {"missing.bin"};
    arguments.insert(arguments.end(), row.m_keywords.begin(), row.m_keywords.end());

    const CProcessResult result = Run(arguments);

    EXPECT_EQ(result.m_nExitCode, 25);
    EXPECT_EQ(result.m_strOut, VersionLine(row.m_strSection) + Line(25, row.m_strSection));
}

INSTANTIATE_TEST_SUITE_P(Rows, QuillonLanguageTable, ::testing::ValuesIn(LANGUAGE_CASES),
                         [](const auto& info) { return std::string(info.param.m_pszName); });

TEST_F(QuillonProcessTest, KeywordWithoutPrefixBecomesTheFileName)
{
    const CProcessResult result = Run({"dede"});

    EXPECT_EQ(result.m_nExitCode, 25);
    EXPECT_EQ(result.m_strOut, VersionLine("LANG_GERMAN") + Line(25, "LANG_GERMAN"));
    EXPECT_EQ(result.m_strErr, LanguageText(46, "LANG_GERMAN") + ": " +
                                   LanguageText(25, "LANG_GERMAN") +
                                   " dede (No such file or directory)\n");
}

struct CModeCase
{
    const char* m_pszName;
    std::vector<std::string> m_arguments; // "FILE" stands for the image
    std::vector<std::string> m_environment;
    int m_nExit;
    std::string m_strErrContains;
};

const CModeCase MODE_CASES[] = {
    {"WindowWithoutDisplay", {}, {}, 69, "needs a display"},
    {"HeadlessWindow", {"--headless"}, {"DISPLAY=:97"}, 69, "needs a display"},
    {"WindowWithUnreachableDisplay", {}, {"DISPLAY=:97"}, 69, "cannot open the display"},
    // A display that does not exist: the run must not try it.
    {"HeadlessRunIgnoresDisplay", {"--headless", "FILE"}, {"DISPLAY=:97"}, 0, ""},
    {"NoDisplayRunsConsoleOnly", {"FILE"}, {}, 0, ""},
    {"WizardWindowWithPlatform", {"FILE"}, {"QT_QPA_PLATFORM=offscreen"}, 0, ""},
    {"Help", {"--help"}, {}, 0, ""},
    {"BadTimeout", {"--timeout", "soon", "FILE"}, {}, 64, "--timeout needs milliseconds"},
    {"WaitWithoutValue", {"FILE", "--wait"}, {}, 64, "--wait needs a value"},
};

class QuillonModeTable : public QuillonProcessTest, public ::testing::WithParamInterface<CModeCase>
{
};

TEST_P(QuillonModeTable, ModeAndExitCode)
{
    const CModeCase& row = GetParam();
    AttachBoard();
    m_scratch.WriteFile(FILE_NAME, RandomBytes(700));
    std::vector<std::string> arguments = row.m_arguments;
    bool bRuns = false;
    for (std::string& strArgument : arguments)
    {
        if (strArgument == "FILE")
        {
            strArgument = FILE_NAME;
            bRuns = true;
        }
    }

    const CProcessResult result = Run(arguments, row.m_environment);

    EXPECT_EQ(result.m_nExitCode, row.m_nExit) << result.m_strErr;
    EXPECT_NE(result.m_strErr.find(row.m_strErrContains), std::string::npos) << result.m_strErr;
    if (bRuns && row.m_nExit == 0)
    {
        EXPECT_EQ(result.m_strOut, SentOut(FILE_NAME));
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, QuillonModeTable, ::testing::ValuesIn(MODE_CASES),
                         [](const auto& info) { return std::string(info.param.m_pszName); });

// --- Boards and callers that do not play along ----------------------------------------------

// How the run is named and which board it finds: each row must send the file and exit 0.
struct CNamingCase
{
    const char* m_pszName;
    std::string m_strFile;
    std::vector<std::string> m_arguments; // "DEVICE" stands for the board's path
    bool m_bStaleBoardFirst;
};

const CNamingCase NAMING_CASES[] = {
    {"DashFileAfterDoubleDash", "-dash.bin", {"--headless", "--", "-dash.bin"}, false},
    {"DeviceWithTrailingSlash", FILE_NAME, {"--device", "DEVICE/", FILE_NAME}, false},
    // Left behind by a killed board program and listed first: skipped like a missing board.
    {"StaleBoardListedFirst", FILE_NAME, {"--wait", "3", FILE_NAME}, true},
};

void PrintTo(const CNamingCase& row, std::ostream* pStream)
{
    *pStream << row.m_pszName;
}

class QuillonNamingTable : public QuillonProcessTest,
                           public ::testing::WithParamInterface<CNamingCase>
{
};

TEST_P(QuillonNamingTable, FileIsSentToTheLiveBoard)
{
    const CNamingCase& row = GetParam();
    AttachBoard();
    std::optional<CHostileBoard> stale;
    if (row.m_bStaleBoardFirst)
    {
        stale.emplace(m_scratch.Registry() + "/a-stale", CHostileBoard::EMode::Dead);
    }
    const std::string strData = RandomBytes(3000);
    m_scratch.WriteFile(row.m_strFile, strData);
    std::vector<std::string> arguments = row.m_arguments;
    for (std::string& strArgument : arguments)
    {
        if (strArgument == "DEVICE/")
        {
            strArgument = m_scratch.Registry() + "/plinth0/";
        }
    }

    const CProcessResult result = Run(arguments);

    EXPECT_EQ(result.m_nExitCode, 0) << result.m_strErr;
    EXPECT_EQ(result.m_strOut, SentOut(row.m_strFile));
    EXPECT_EQ(Wire().m_hostToBoard, Bytes(FullWire(strData)));
}

INSTANTIATE_TEST_SUITE_P(Rows, QuillonNamingTable, ::testing::ValuesIn(NAMING_CASES),
                         [](const auto& info) { return std::string(info.param.m_pszName); });

// The first stop signal ends the run at once whatever it waits for; without it the waits
// below have no end (--timeout 0) or a long one.
struct CStopCase
{
    const char* m_pszName;
    std::vector<std::string> m_boardOptions; // empty: a board whose listeners never accept
    std::vector<std::string> m_arguments;
    size_t m_nLinesBeforeStop; // newlines on standard output: the report lines end "\r\n\n"
    bool m_bExecuteSent;
};

const CStopCase STOP_CASES[] = {
    {"Connecting", {}, {"--timeout", "0"}, 1, false},
    {"WaitingForTheSendReplyForever", {"--no-reply", "s1"}, {"--timeout", "0"}, 5, false},
    {"WaitingForTheSendReplyLong", {"--no-reply", "s1"}, {"--timeout", "60000"}, 5, false},
    {"WaitingForTheLastReplyForever", {"--no-reply", "s3"}, {"--timeout", "0"}, 5, false},
    {"WaitingForTheExecuteReplyForever", {"--no-reply", "x1"}, {"--timeout", "0"}, 7, true},
};

void PrintTo(const CStopCase& row, std::ostream* pStream)
{
    *pStream << row.m_pszName;
}

class QuillonStopTable : public QuillonProcessTest, public ::testing::WithParamInterface<CStopCase>
{
};

TEST_P(QuillonStopTable, FirstSignalEndsTheRunPromptlyWithTwo)
{
    const CStopCase& row = GetParam();
    std::optional<CHostileBoard> hostile;
    if (row.m_boardOptions.empty())
    {
        hostile.emplace(m_scratch.Registry() + "/deaf", CHostileBoard::EMode::FullBacklog);
    }
    else
    {
        AttachBoard(row.m_boardOptions);
    }
    m_scratch.WriteFile(FILE_NAME, RandomBytes(5000));
    std::vector<std::string> argv = {ProgramPath(), "--headless"};
    argv.insert(argv.end(), row.m_arguments.begin(), row.m_arguments.end());
    argv.push_back(FILE_NAME);
    CChildProcess program;
    ASSERT_TRUE(program.Start(argv, m_scratch.Environment(), m_scratch.m_strRoot));
    ASSERT_TRUE(program.WaitForLines(row.m_nLinesBeforeStop, std::chrono::seconds(10)));
    std::this_thread::sleep_for(std::chrono::milliseconds(500)); // well into the wait
    const auto start = std::chrono::steady_clock::now();
    program.Signal(SIGTERM);

    const CProcessResult result = program.Wait(std::chrono::seconds(10));
    const auto elapsed = std::chrono::steady_clock::now() - start;

    EXPECT_EQ(result.m_nExitCode, 2) << result.m_strErr;
    // About 200 ms; the margin is for a busy machine.
    EXPECT_LT(elapsed, std::chrono::milliseconds(1500));
    EXPECT_EQ(result.m_strOut.find(LanguageText(26)), std::string::npos) << result.m_strOut;
    if (!row.m_boardOptions.empty())
    {
        const CBoardWire wire = Wire();
        EXPECT_EQ(!wire.m_hostToBoard.empty() && wire.m_hostToBoard.back() == 'x',
                  row.m_bExecuteSent);
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, QuillonStopTable, ::testing::ValuesIn(STOP_CASES),
                         [](const auto& info) { return std::string(info.param.m_pszName); });

// A board that never accepts is listed without its version once the time-out passed; one
// that nothing listens behind is no board.
TEST_F(QuillonProcessTest, ListEndsOnABoardThatNeverAcceptsAndLeavesOutADeadOne)
{
    CHostileBoard deaf(m_scratch.Registry() + "/deaf", CHostileBoard::EMode::FullBacklog);
    CHostileBoard dead(m_scratch.Registry() + "/dead", CHostileBoard::EMode::Dead);

    const CProcessResult result = Run({"--list", "--timeout", "300"});

    EXPECT_FALSE(result.m_bTimedOut);
    EXPECT_EQ(result.m_nExitCode, 0) << result.m_strErr;
    EXPECT_EQ(result.m_strOut, "\t" + m_scratch.Registry() + "/deaf\t\n");
}

// Running through a shell for its redirections and limits.
CProcessResult RunInShell(const CScratch& scratch, const std::string& strScript,
                          const std::vector<std::string>& arguments)
{
    std::vector<std::string> argv = {"/bin/sh", "-c", strScript, ProgramPath()};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    CChildProcess process;
    if (!process.Start(argv, scratch.Environment(), scratch.m_strRoot))
    {
        return {};
    }
    return process.Wait(std::chrono::seconds(20));
}

TEST_F(QuillonProcessTest, ReportThatCannotBeWrittenIsAnErrorAfterTheRun)
{
    AttachBoard();
    const std::string strData = RandomBytes(800);
    m_scratch.WriteFile(FILE_NAME, strData);

    const CProcessResult list = RunInShell(m_scratch, "exec \"$0\" \"$@\" > /dev/full", {"--list"});
    const CProcessResult run =
        RunInShell(m_scratch, "exec \"$0\" \"$@\" > /dev/full", {"--headless", FILE_NAME});

    EXPECT_EQ(list.m_nExitCode, 74) << list.m_strErr;
    EXPECT_NE(list.m_strErr.find("standard output"), std::string::npos) << list.m_strErr;
    EXPECT_EQ(run.m_nExitCode, 74) << run.m_strErr;
    // The run itself went through (after the listing's version request).
    EXPECT_EQ(Wire().m_hostToBoard, Bytes("v" + FullWire(strData)));
}

TEST_F(QuillonProcessTest, FileLargerThanTheMemoryEndsWith25AndSaysWhy)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the address sanitizer needs more address space than the limit leaves";
#endif
    const std::string strPath = m_scratch.Path("big.bin");
    m_scratch.WriteFile("big.bin", "");
    if (truncate(strPath.c_str(), 3ll << 30) != 0)
    {
        GTEST_SKIP() << "no sparse files here";
    }

    const CProcessResult result =
        RunInShell(m_scratch, "ulimit -v 1000000 && exec \"$0\" \"$@\"", {"--headless", strPath});

    EXPECT_EQ(result.m_nExitCode, 25) << result.m_strErr;
    EXPECT_EQ(result.m_strOut, VersionLine() + Line(25));
    EXPECT_NE(result.m_strErr.find("not enough memory"), std::string::npos) << result.m_strErr;
}

} // namespace
