// quillon-cli as scripts see it: the same command line as quillon, every mode on the console
// whatever the display, and quillon's language file.

#include "app/ProcessHarness.h"

#include <gtest/gtest.h>

namespace
{
const std::string BANNER = "Plinth BL 9.4";

struct CCliCase
{
    const char* m_pszName;
    std::vector<std::string> m_arguments;
    int m_nExit;
    // Texts that standard output must hold, and one it must not; a text of the language file
    // is given as "#ID" (English) or "#ID:SECTION".
    std::vector<std::string> m_outContains;
    std::string m_strOutLacks;
    std::string m_strErrContains;
    std::string m_strWire;
};

std::string Expand(const std::string& strText)
{
    if (!strText.starts_with('#'))
    {
        return strText;
    }
    const size_t nColon = strText.find(':');
    const int nId = std::stoi(strText.substr(1, nColon - 1));
    return nColon == std::string::npos ? LanguageText(nId)
                                       : LanguageText(nId, strText.substr(nColon + 1));
}

const CCliCase CLI_CASES[] = {
    {"NoFileNamesTheOperations", {}, 64, {}, "", "name FILE to send, or an operation", ""},
    {"SendWithADisplayStaysOnTheConsole",
     {"image.bin"},
     0,
     {"#37", "#38"},
     "",
     "image.bin: binary, 5 bytes\n",
     "vvs" + WireLength(5) + "12345x"},
    {"KeywordChoosesTheLanguageOfQuillonsFile",
     {"image.bin", "dede"},
     0,
     {"#37:LANG_GERMAN"},
     "",
     "image.bin: binary, 5 bytes\n",
     "vvs" + WireLength(5) + "12345x"},
    {"BoardVersion", {"--board-version"}, 0, {BANNER + "\n"}, "", "", "v"},
    {"HelpOffersNoWindow",
     {"--help"},
     0,
     {"Usage: quillon-cli", "Without FILE, name an operation.", "accepted as quillon takes it"},
     "  69  ",
     "",
     ""},
    {"UnknownOptionIsAUsageError", {"--dvice", "x"}, 64, {}, "", "--dvice", ""},
    {"StationOnTheConsoleWhateverTheDisplay",
     {"--station", "image.bin", "--count", "1"},
     0,
     {"/plinth0\tBench board 7\tflashed\t", "1 flashed, 0 failed, 0 stopped; yield 100.0%\n"},
     "",
     "Station: every board that arrives gets image.bin (5 bytes",
     "vvs" + WireLength(5) + "12345x"},
    {"StationImageMissing",
     {"--station", "nothere.bin"},
     25,
     {},
     "",
     "Cannot load file nothere.bin",
     ""},
    {"StationTakesOneFile", {"--station", "image.bin", "x.bin"}, 64, {}, "", "one too many", ""},
};

void PrintTo(const CCliCase& row, std::ostream* pStream)
{
    *pStream << row.m_pszName;
}

class CliProcessTable : public ::testing::TestWithParam<CCliCase>
{
protected:
    CScratch m_scratch;
    CBoardProcess m_board;
};

TEST_P(CliProcessTable, ConsoleRunWithADisplaySet)
{
    const CCliCase& row = GetParam();
    ASSERT_TRUE(m_board.Start(m_scratch, {"plinth0=Bench board 7"}, {"--banner", BANNER}));
    m_scratch.WriteFile("image.bin", "12345");
    std::vector<std::string> arguments = {std::string(QUILLON_BUILD_DIR) + "/quillon-cli"};
    arguments.insert(arguments.end(), row.m_arguments.begin(), row.m_arguments.end());

    CChildProcess process;
    ASSERT_TRUE(
        process.Start(arguments, m_scratch.Environment({"DISPLAY=:99"}), m_scratch.m_strRoot));
    const CProcessResult result = process.Wait(std::chrono::seconds(20));

    EXPECT_EQ(result.m_nExitCode, row.m_nExit) << result.m_strErr;
    for (const std::string& strText : row.m_outContains)
    {
        EXPECT_NE(result.m_strOut.find(Expand(strText)), std::string::npos)
            << Expand(strText) << " in: " << result.m_strOut;
    }
    if (!row.m_strOutLacks.empty())
    {
        EXPECT_EQ(result.m_strOut.find(row.m_strOutLacks), std::string::npos);
    }
    if (row.m_strErrContains.empty())
    {
        EXPECT_EQ(result.m_strErr, "");
    }
    else
    {
        EXPECT_NE(result.m_strErr.find(row.m_strErrContains), std::string::npos) << result.m_strErr;
    }
    m_board.Stop();
    const CBoardWire wire = ReadWireLog(m_scratch.BoardLog())["plinth0"];
    EXPECT_EQ(std::string(wire.m_hostToBoard.begin(), wire.m_hostToBoard.end()), row.m_strWire);
}

INSTANTIATE_TEST_SUITE_P(Rows, CliProcessTable, ::testing::ValuesIn(CLI_CASES),
                         [](const auto& info) { return std::string(info.param.m_pszName); });
} // namespace
