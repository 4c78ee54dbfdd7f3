// The program's own options taken off the command line, and the progress line's rules.

#include "app/QuillonApp.h"
#include "ui/wizard/ProgressMeter.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fcntl.h>
#include <pty.h>
#include <regex>
#include <thread>
#include <unistd.h>

namespace
{
struct COptionsCase
{
    const char* m_pszName;
    std::vector<std::string> m_arguments;
    bool m_bOk;
    std::vector<std::string> m_rest;
    std::string m_strDevice;
    int64_t m_nTimeoutMs; // -1: not set
    int64_t m_nWaitMs;
    std::string m_strErrorContains;
};

const COptionsCase OPTION_CASES[] = {
    {"Nothing", {}, true, {}, "", -1, -1, ""},
    {"PartArgumentsPassThrough",
     {"/dede", "file.bin", "-engb"},
     true,
     {"/dede", "file.bin", "-engb"},
     "",
     -1,
     -1,
     ""},
    {"ValuesSeparateAndInline",
     {"--device", "/reg/b", "x.bin", "--timeout=250", "--wait", "2.5"},
     true,
     {"x.bin"},
     "/reg/b",
     250,
     2500,
     ""},
    {"TimeoutZeroWaitsForever", {"--timeout", "0"}, true, {}, "", 0, -1, ""},
    {"TimeoutLargest", {"--timeout", "4294967295"}, true, {}, "", 4294967295ll, -1, ""},
    {"WaitZero", {"--wait=0"}, true, {}, "", -1, 0, ""},
    {"DoubleDashEndsOptions", {"--", "--wait", "x"}, true, {"--wait", "x"}, "", -1, -1, ""},
    {"UnknownLongOptionIsAnError",
     {"--frob", "a.bin"},
     false,
     {},
     "",
     -1,
     -1,
     "unknown option --frob"},
    {"TimeoutTooLarge", {"--timeout", "4294967296"}, false, {}, "", -1, -1, "--timeout"},
    {"TimeoutNegative", {"--timeout", "-5"}, false, {}, "", -1, -1, "--timeout"},
    {"TimeoutNotANumber", {"--timeout", "3s"}, false, {}, "", -1, -1, "--timeout"},
    {"WaitFourDecimals", {"--wait", "1.2345"}, false, {}, "", -1, -1, "--wait"},
    {"WaitTrailingDot", {"--wait", "1."}, false, {}, "", -1, -1, "--wait"},
    {"WaitMissingValue", {"a.bin", "--wait"}, false, {}, "", -1, -1, "needs a value"},
    {"DeviceEmpty", {"--device="}, false, {}, "", -1, -1, "--device"},
    {"DeviceTrailingSlashes",
     {"--device", "/reg/b//", "a.bin"},
     true,
     {"a.bin"},
     "/reg/b",
     -1,
     -1,
     ""},
    {"DeviceRoot", {"--device=/"}, true, {}, "/", -1, -1, ""},
    {"FlagWithValue", {"--headless=yes"}, false, {}, "", -1, -1, "takes no value"},
    {"UsbIds", {"--usb-id", "1209:5150,CAFE:0001", "a.bin"}, true, {"a.bin"}, "", -1, -1, ""},
    {"UsbIdMalformed", {"--usb-id=1209-5150"}, false, {}, "", -1, -1, "--usb-id"},
    {"UsbIdEmpty", {"--usb-id", ""}, false, {}, "", -1, -1, "--usb-id"},
};

class ProgramOptionsTable : public ::testing::TestWithParam<COptionsCase>
{
};

TEST_P(ProgramOptionsTable, TakesItsOwnOptionsAndLeavesTheRest)
{
    const COptionsCase& row = GetParam();
    CProgramOptions options;
    std::string strError;
    std::string strWarning;

    const bool bOk = TakeProgramOptions(row.m_arguments, options, strError, strWarning);

    ASSERT_EQ(bOk, row.m_bOk) << strError;
    if (!bOk)
    {
        EXPECT_NE(strError.find(row.m_strErrorContains), std::string::npos) << strError;
        return;
    }
    EXPECT_EQ(options.m_arguments, row.m_rest);
    EXPECT_EQ(options.m_strDevicePath, row.m_strDevice);
    EXPECT_EQ(options.m_bTimeoutSet, row.m_nTimeoutMs >= 0);
    if (row.m_nTimeoutMs >= 0)
    {
        EXPECT_EQ(options.m_nTimeoutMs, static_cast<uint32_t>(row.m_nTimeoutMs));
    }
    EXPECT_EQ(options.m_nWaitMs, row.m_nWaitMs);
}

INSTANTIATE_TEST_SUITE_P(Rows, ProgramOptionsTable, ::testing::ValuesIn(OPTION_CASES),
                         [](const auto& info) { return std::string(info.param.m_pszName); });

TEST(ProgramOptionsTest, FlagsAndTheUnknownOptionWarning)
{
    CProgramOptions options;
    std::string strError;
    std::string strWarning;
    ASSERT_TRUE(TakeProgramOptions({"--list", "--headless", "-x", "--version", "--help"}, options,
                                   strError, strWarning));
    EXPECT_TRUE(options.m_bList && options.m_bHeadless && options.m_bVersion && options.m_bHelp);
    EXPECT_EQ(strWarning, "ignoring switch -x\n");
}

// The short options people type from other flashers, beside the keywords' rules: a keyword
// keeps its meaning after '-', letters are never bundled, and the other switches are ignored as
// before.
struct CShortCase
{
    const char* m_pszName;
    std::vector<std::string> m_arguments;
    std::string m_strErrorContains; // empty: taken
    std::string m_strSet;           // the options it set, as letters: l d w q v V
    std::string m_strDevice;
    int64_t m_nWaitMs;
    std::vector<std::string> m_rest;
    std::string m_strWarning;
};

const CShortCase SHORT_CASES[] = {
    {"List", {"-l"}, "", "l", "", -1, {}, ""},
    {"Device", {"-d", "/reg/b/", "x.bin"}, "", "d", "/reg/b", -1, {"x.bin"}, ""},
    {"Wait", {"-w", "2.5", "x.bin"}, "", "w", "", 2500, {"x.bin"}, ""},
    {"QuietAndVersion", {"-q", "-V"}, "", "qV", "", -1, {}, ""},
    {"Verbose", {"x.bin", "-v"}, "", "v", "", -1, {"x.bin"}, ""},
    {"KeywordAfterDashIsNoDevice", {"-dede", "x.bin"}, "", "", "", -1, {"-dede", "x.bin"}, ""},
    {"KeywordsStayKeywords",
     {"-engb", "/nlnl", "-veld", "-tx0852", "x.bin"},
     "",
     "",
     "",
     -1,
     {"-engb", "/nlnl", "-veld", "-tx0852", "x.bin"},
     ""},
    {"OtherLetterIgnoredAsBefore",
     {"-x", "x.bin"},
     "",
     "",
     "",
     -1,
     {"-x", "x.bin"},
     "ignoring switch -x\n"},
    {"NoBundling", {"-lv"}, "", "", "", -1, {"-lv"}, "ignoring switch -lv\n"},
    {"CapitalListIsNoOption", {"-L"}, "", "", "", -1, {"-L"}, "ignoring switch -L\n"},
    {"DeviceNeedsAValue", {"x.bin", "-d"}, "option -d needs a value", "", "", -1, {}, ""},
    {"WaitMalformed", {"-w", "soon"}, "--wait needs seconds", "", "", -1, {}, ""},
    {"QuietAndVerbose", {"-q", "-v"}, "do not go together", "", "", -1, {}, ""},
};

void PrintTo(const CShortCase& row, std::ostream* pStream)
{
    *pStream << row.m_pszName;
}

class ShortOptionTable : public ::testing::TestWithParam<CShortCase>
{
};

TEST_P(ShortOptionTable, MeansTheLongOneBesideTheKeywords)
{
    const CShortCase& row = GetParam();
    CProgramOptions options;
    std::string strError;
    std::string strWarning;

    const bool bOk = TakeProgramOptions(row.m_arguments, options, strError, strWarning);

    ASSERT_EQ(bOk, row.m_strErrorContains.empty()) << strError;
    if (!bOk)
    {
        EXPECT_NE(strError.find(row.m_strErrorContains), std::string::npos) << strError;
        return;
    }
    std::string strSet;
    for (const auto& [bSet, chLetter] : {std::pair{options.m_bList, 'l'},
                                         {!options.m_strDevicePath.empty(), 'd'},
                                         {options.m_nWaitMs >= 0, 'w'},
                                         {options.m_bQuiet, 'q'},
                                         {options.m_bVerbose, 'v'},
                                         {options.m_bVersion, 'V'}})
    {
        strSet += bSet ? std::string(1, chLetter) : "";
    }
    EXPECT_EQ(strSet, row.m_strSet);
    EXPECT_EQ(options.m_strDevicePath, row.m_strDevice);
    EXPECT_EQ(options.m_nWaitMs, row.m_nWaitMs);
    EXPECT_EQ(options.m_arguments, row.m_rest);
    EXPECT_EQ(strWarning, row.m_strWarning);
}

INSTANTIATE_TEST_SUITE_P(Rows, ShortOptionTable, ::testing::ValuesIn(SHORT_CASES),
                         [](const auto& info) { return std::string(info.param.m_pszName); });

// The operations' options, what goes together, and every kind of usage error.
struct CUsageCase
{
    const char* m_pszName;
    std::vector<std::string> m_arguments;
    std::string m_strErrorContains; // empty: taken
    uint32_t m_nReceiveSize;
    std::string m_strOutput;
    std::string m_strWarning;
};

const CUsageCase USAGE_CASES[] = {
    {"ReceiveDecimal", {"--receive", "100", "-o", "x.bin"}, "", 100, "x.bin", ""},
    {"ReceiveLargestHex", {"--receive=0x19000", "--output=-"}, "", 102400, "-", ""},
    {"ReceiveSmallest", {"--receive", "1", "-o", "x"}, "", 1, "x", ""},
    {"ReceiveZero", {"--receive", "0", "-o", "x"}, "--receive needs a size", 0, "", ""},
    {"ReceiveOneTooMany", {"--receive", "102401", "-o", "x"}, "--receive needs a size", 0, "", ""},
    {"ReceiveHexOneTooMany", {"--receive", "0x19001", "-o", "x"}, "--receive", 0, "", ""},
    {"ReceiveNegative", {"--receive", "-5", "-o", "x"}, "--receive", 0, "", ""},
    {"ReceiveTrailingLetters", {"--receive", "12ab", "-o", "x"}, "'12ab'", 0, "", ""},
    {"ReceiveBareHexPrefix", {"--receive", "0x", "-o", "x"}, "--receive", 0, "", ""},
    {"ReceiveWithoutOutput", {"--receive", "16"}, "needs -o FILE", 0, "", ""},
    {"ReceiveMissingValue", {"--receive"}, "option --receive needs a value", 0, "", ""},
    {"OutputMissingValue", {"--receive", "16", "-o"}, "option -o needs a value", 0, "", ""},
    {"OutputEmpty", {"--receive", "16", "-o", ""}, "needs a file", 0, "", ""},
    {"OutputAlone", {"-o", "x.bin", "a.bin"}, "goes with --convert FILE or --receive", 0, "", ""},
    {"TwoOperations", {"--execute", "--board-version"}, "do not go together", 0, "", ""},
    {"ReceiveAndConvert",
     {"--convert", "a.hex", "--receive", "4", "-o", "x"},
     "--convert and --receive do not go together",
     0,
     "",
     ""},
    {"NoExecuteAndExecute",
     {"--execute", "--no-execute", "a.bin"},
     "do not go together",
     0,
     "",
     ""},
    {"ExecuteTakesNoValue", {"--execute=1"}, "takes no value", 0, "", ""},
    {"UnknownLong", {"--dvice", "x", "a.bin"}, "unknown option --dvice", 0, "", ""},
    {"UnknownLongWithValue", {"--jsn=1"}, "unknown option --jsn", 0, "", ""},
    {"UnknownAfterAFile", {"a.bin", "--frob"}, "unknown option --frob", 0, "", ""},
    {"HelpShortEvenWithAClash", {"-h", "--execute", "--board-version"}, "", 0, "", ""},
    {"KeywordSwitchesAreNotWarned", {"-dede", "/eses", "a.bin", "-nlnl"}, "", 0, "", ""},
    {"SingleLetterSwitchWarned",
     {"-x", "a.bin", "-Y"},
     "",
     0,
     "",
     "ignoring switch -x\nignoring switch -Y\n"},
    {"KeywordInOtherCaseWarned", {"-ENGB"}, "", 0, "", "ignoring switch -ENGB\n"},
    {"QuietAndVerbose", {"--quiet", "--verbose", "a.bin"}, "do not go together", 0, "", ""},
    {"JsonWithReceive",
     {"--json", "--receive", "4", "-o", "x"},
     "--json goes with --list, --board-version",
     0,
     "",
     ""},
    {"CountWithoutAll", {"--count", "4", "a.bin"}, "--count goes with --all", 0, "", ""},
    {"CountZero", {"--all", "--count", "0", "a.bin"}, "--count needs a number", 0, "", ""},
    {"AllWithDevice", {"--all", "--device", "/r/b", "a.bin"}, "without --device", 0, "", ""},
    {"AllWithExecute", {"--all", "--execute"}, "--all goes with sending a file", 0, "", ""},
    {"NothingWarnedAfterDoubleDash", {"--", "-x", "--frob"}, "", 0, "", ""},
    {"StationWithCountJournalAndJson",
     {"--station", "a.bin", "--count", "3", "--journal", "j.db", "--json"},
     "",
     0,
     "",
     ""},
    {"StationNeedsItsFile", {"--station", ""}, "--station needs the file", 0, "", ""},
    {"StationWithAll", {"--station", "a.bin", "--all"}, "--station goes with none of", 0, "", ""},
    {"StationWithDevice",
     {"--station", "a.bin", "--device", "/r/b"},
     "--station goes with none of",
     0,
     "",
     ""},
    {"StationWithWait",
     {"--station", "a.bin", "--wait", "5"},
     "--station goes with none",
     0,
     "",
     ""},
    {"SummaryWithoutJournal", {"--summary"}, "--summary needs --journal FILE", 0, "", ""},
    {"SummaryWithAll",
     {"--journal", "j.db", "--summary", "--all", "a.bin"},
     "--summary goes with --journal FILE and --json alone",
     0,
     "",
     ""},
    {"JournalWithReceive",
     {"--journal", "j.db", "--receive", "4", "-o", "x"},
     "--journal goes with sending a file",
     0,
     "",
     ""},
};

class UsageTable : public ::testing::TestWithParam<CUsageCase>
{
};

TEST_P(UsageTable, TakenOrOneLineReason)
{
    const CUsageCase& row = GetParam();
    CProgramOptions options;
    std::string strError;
    std::string strWarning;

    const bool bOk = TakeProgramOptions(row.m_arguments, options, strError, strWarning);

    EXPECT_EQ(bOk, row.m_strErrorContains.empty()) << strError;
    if (!bOk)
    {
        EXPECT_NE(strError.find(row.m_strErrorContains), std::string::npos) << strError;
        EXPECT_EQ(strError.find('\n'), std::string::npos) << strError;
        return;
    }
    EXPECT_EQ(options.m_nReceiveSize, row.m_nReceiveSize);
    EXPECT_EQ(options.m_strOutput, row.m_strOutput);
    EXPECT_EQ(strWarning, row.m_strWarning);
}

INSTANTIATE_TEST_SUITE_P(Rows, UsageTable, ::testing::ValuesIn(USAGE_CASES),
                         [](const auto& info) { return std::string(info.param.m_pszName); });

std::string ReadAvailable(int fd)
{
    std::string strText;
    char buffer[256];
    ssize_t nRead = 0;
    while ((nRead = read(fd, buffer, sizeof(buffer))) > 0)
    {
        strText.append(buffer, static_cast<size_t>(nRead));
    }
    return strText;
}

TEST(ProgressMeterTest, ShownOnATerminalOnlyAfterASecond)
{
    int master = -1;
    int slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    fcntl(master, F_SETFL, O_NONBLOCK);
    std::FILE* pTerminal = fdopen(slave, "w");
    int pipeFds[2];
    ASSERT_EQ(pipe2(pipeFds, O_NONBLOCK), 0);
    std::FILE* pPipe = fdopen(pipeFds[1], "w");
    {
        CProgressMeter terminal(pTerminal);
        CProgressMeter piped(pPipe);
        for (CProgressMeter* pMeter : {&terminal, &piped})
        {
            pMeter->Update(0, 2000);
            pMeter->Update(500, 2000);
        }
        EXPECT_EQ(ReadAvailable(master), "");
        std::this_thread::sleep_for(CProgressMeter::SHOW_FOR + std::chrono::milliseconds(100));
        for (CProgressMeter* pMeter : {&terminal, &piped})
        {
            pMeter->Update(1000, 2000);
            pMeter->Update(2000, 2000);
        }
    }
    // The terminal turns the line feed into CR LF.
    const std::string strShown = ReadAvailable(master);
    EXPECT_TRUE(std::regex_match(
        strShown, std::regex("\r 50% \\(1000 of 2000 bytes, [0-9.]+ [k]?B/s, 0:0[0-9] left\\) *"
                             "\r100% \\(2000 of 2000 bytes, [0-9.]+ [k]?B/s, 0:00 left\\) *\r\n")))
        << strShown;
    std::fclose(pPipe);
    EXPECT_EQ(ReadAvailable(pipeFds[0]), "");
    std::fclose(pTerminal);
    close(master);
    close(pipeFds[0]);
}
// The progress line's text: bytes, percent, rate and the time left at that rate.
struct CProgressCase
{
    uint64_t m_nDone;
    uint64_t m_nTotal;
    int64_t m_nElapsedMs;
    const char* m_pszText;
};

const CProgressCase PROGRESS_CASES[] = {
    {0, 2000, 1000, "0% (0 of 2000 bytes)"},
    {500, 2000, 0, "25% (500 of 2000 bytes)"},
    {500, 2000, 1000, "25% (500 of 2000 bytes, 500.0 B/s, 0:03 left)"},
    {1001, 2000, 1000, "50% (1001 of 2000 bytes, 1.0 kB/s, 0:01 left)"},
    {1048576, 4194304, 500, "25% (1048576 of 4194304 bytes, 2.1 MB/s, 0:02 left)"},
    {1000, 100000, 1000, "1% (1000 of 100000 bytes, 1.0 kB/s, 1:39 left)"},
    {16777216, 16777216, 2000, "100% (16777216 of 16777216 bytes, 8.4 MB/s, 0:00 left)"},
    {4294967295, 4294967295, 3600000, "100% (4294967295 of 4294967295 bytes, 1.2 MB/s, 0:00 left)"},
};

// Which blocks get the progress line: one that will take a second or more at its rate, judged
// soon after it starts, not first when a second has passed.
struct CShowCase
{
    const char* m_pszName;
    uint64_t m_nDone;
    uint64_t m_nTotal;
    int64_t m_nElapsedMs;
    bool m_bShown;
};

const CShowCase SHOW_CASES[] = {
    {"NothingMovedYet", 0, 1000, 500, false},
    {"TooSoonToJudge", 10, 1000, 50, false},
    {"SlowBlockAtTenPercent", 100, 1000, 150, true}, // 1.5 s in all
    {"FastBlockNever", 500, 1000, 150, false},       // 0.3 s in all
    {"JustUnderASecond", 100, 1000, 99, false},
    {"AnyBlockAfterASecond", 990, 1000, 1000, true},
    {"DoneBlock", 1000, 1000, 2000, false},
    {"EmptyBlock", 0, 0, 2000, false},
};

TEST(ProgressMeterTest, ShownForBlocksOfASecondOrMoreFromEarlyOn)
{
    for (const CShowCase& row : SHOW_CASES)
    {
        EXPECT_EQ(CProgressMeter::WorthShowing(row.m_nDone, row.m_nTotal,
                                               std::chrono::milliseconds(row.m_nElapsedMs)),
                  row.m_bShown)
            << row.m_pszName;
    }
}

// The times and rates of --verbose: a short send in milliseconds, never "0 s".
TEST(ProgressTextTest, DurationsAndRatesOfShortAndLongTransfers)
{
    const struct
    {
        uint64_t m_nBytes;
        int64_t m_nMicroseconds;
        const char* m_pszDuration;
        const char* m_pszRate;
    } rows[] = {
        {28, 400, "0.4 ms", "70.0 kB/s"},          {28, 0, "0.0 ms", "28.0 MB/s"},
        {150001, 420000, "420 ms", "357.1 kB/s"},  {4096, 9000, "9.0 ms", "455.1 kB/s"},
        {16777216, 2510000, "2.51 s", "6.7 MB/s"},
    };
    for (const auto& row : rows)
    {
        const std::chrono::microseconds elapsed(row.m_nMicroseconds);
        EXPECT_EQ(DurationText(elapsed), row.m_pszDuration) << row.m_nMicroseconds;
        EXPECT_EQ(RateText(row.m_nBytes, elapsed), row.m_pszRate) << row.m_nMicroseconds;
    }
}

TEST(ProgressTextTest, BytesPercentRateAndTimeLeft)
{
    for (const CProgressCase& row : PROGRESS_CASES)
    {
        EXPECT_EQ(
            ProgressText(row.m_nDone, row.m_nTotal, std::chrono::milliseconds(row.m_nElapsedMs)),
            row.m_pszText);
    }
}
} // namespace
