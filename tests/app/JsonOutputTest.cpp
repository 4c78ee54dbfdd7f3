// The machine-readable output: JSON that any parser takes, whatever bytes a board sends, and
// the fields of --list, --board-version and the run, read back by a real JSON parser.

#include "app/JsonWriter.h"
#include "app/ProcessHarness.h"
#include "usb/BoardLock.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <map>

namespace
{
struct CStringCase
{
    const char* m_pszName;
    std::string m_strBytes;
    std::string m_strJson;
};

const CStringCase STRING_CASES[] = {
    {"Plain", "Plinth BL 2.1", "\"Plinth BL 2.1\""},
    {"QuoteAndBackslash", "a\"b\\c", "\"a\\\"b\\\\c\""},
    {"LineBreaksAndTab", "a\nb\rc\td", "\"a\\nb\\rc\\td\""},
    {"OtherControlsAndDelete", std::string("\x01\x1b[2J\x7f", 6), "\"\\u0001\\u001b[2J\\u007f\""},
    {"Nul", std::string("a\0b", 3), "\"a\\u0000b\""},
    {"ValidUtf8PassesThrough", "\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80",
     "\"\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80\""},
    {"LoneHighByte",
     "a\xff"
     "b",
     "\"a\\ufffdb\""},
    {"CutShortAtTheEnd", "a\xe2\x82", "\"a\\ufffd\\ufffd\""},
    {"Overlong", "\xc0\x80", "\"\\ufffd\\ufffd\""},
    {"Surrogate", "\xed\xa0\x80", "\"\\ufffd\\ufffd\\ufffd\""},
    {"AboveUnicode", "\xf4\x90\x80\x80", "\"\\ufffd\\ufffd\\ufffd\\ufffd\""},
    {"ContinuationAlone", "\x80x", "\"\\ufffdx\""},
};

class JsonStringTable : public ::testing::TestWithParam<CStringCase>
{
};

TEST_P(JsonStringTable, EscapedAndAlwaysValid)
{
    EXPECT_EQ(JsonString(GetParam().m_strBytes), GetParam().m_strJson);
}

INSTANTIATE_TEST_SUITE_P(Rows, JsonStringTable, ::testing::ValuesIn(STRING_CASES),
                         [](const auto& info) { return std::string(info.param.m_pszName); });

// Each field of the JSON text as "KEY\tVALUE" (VALUE as the parser gives it back in JSON),
// arrays, and objects one a line, as "INDEX.KEY"; "invalid" when the parser refuses the text.
std::map<std::string, std::string> Fields(const CScratch& scratch, const std::string& strJson)
{
    scratch.WriteFile("out.json", strJson);
    const std::string strCommand = "python3 -c 'import json,sys\n"
                                   "t=open(sys.argv[1], encoding=\"utf-8\").read()\n"
                                   "try: d=json.loads(t)\n"
                                   "except Exception:\n"
                                   "  try: d=[json.loads(l) for l in t.splitlines()]\n"
                                   "  except Exception: print(\"invalid\\t1\"); sys.exit()\n"
                                   "items = [(str(i)+\".\", o) for i, o in enumerate(d)] if "
                                   "isinstance(d, list) else [(\"\", d)]\n"
                                   "for p, o in items:\n"
                                   "  for k, v in o.items(): print(p+k+\"\\t\"+json.dumps(v))' " +
                                   scratch.Path("out.json");
    std::map<std::string, std::string> fields;
    std::FILE* pPipe = popen(strCommand.c_str(), "r");
    if (pPipe == nullptr)
    {
        return fields;
    }
    char szLine[4096];
    while (std::fgets(szLine, sizeof(szLine), pPipe) != nullptr)
    {
        std::string strLine(szLine);
        strLine.pop_back();
        const size_t nTab = strLine.find('\t');
        fields[strLine.substr(0, nTab)] = strLine.substr(nTab + 1);
    }
    pclose(pPipe);
    return fields;
}

struct CJsonCase
{
    const char* m_pszName;
    std::vector<std::string> m_boardOptions; // empty: no board
    std::vector<std::string> m_arguments;
    int m_nExit;
    // Expected fields; "<number>": any number; "<board>": the path of board a; "<text>": a
    // string that says something
    std::map<std::string, std::string> m_fields;
    std::string m_strErrContains;
    bool m_bBoardHeld = false; // another process holds board a meanwhile
};

// A description is one line of the board's file: everything else a board may send.
const std::string HOSTILE = "Bench \"7\"\\\t\x1b[2J\xff";
const std::string HOSTILE_JSON = "\"Bench \\\"7\\\"\\\\\\t\\u001b[2J\\ufffd\"";

const CJsonCase JSON_CASES[] = {
    {"List",
     {"--banner", "Plinth BL 9.4"},
     {"--list"},
     0,
     {{"0.path", "<board>"},
      {"0.description", HOSTILE_JSON},
      {"0.version", "\"Plinth BL 9.4\""},
      {"0.may_open", "true"},
      {"0.in_use", "false"}},
     ""},
    {"ListEmpty", {}, {"--list"}, 0, {}, "No board found."},
    {"BoardVersion",
     {"--banner", "BL \"x\"\t1"},
     {"--board-version"},
     0,
     {{"path", "<board>"},
      {"description", HOSTILE_JSON},
      {"version", "\"BL \\\"x\\\"\\t1\""},
      {"result", "0"},
      {"reason", "null"}},
     ""},
    // A failed --board-version is an object too, with the reason.
    {"BoardVersionNoBoard",
     {},
     {"--board-version"},
     2,
     {{"path", "null"},
      {"description", "null"},
      {"version", "null"},
      {"result", "2"},
      {"reason", "\"no board found\""}},
     "No ARM device found"},
    {"BoardVersionUnanswered",
     {"--no-reply", "v1"},
     {"--board-version", "--timeout", "300"},
     39,
     {{"path", "<board>"},
      {"description", HOSTILE_JSON},
      {"version", "null"},
      {"result", "39"},
      {"reason", "<text>"}},
     "Reason: "},
    {"Version", {}, {"--version"}, 0, {{"program", "\"quillon\""}, {"version", "\"1.2.1.0\""}}, ""},
    {"RunSent",
     {"--banner", "Plinth BL 9.4"},
     {"image.bin"},
     0,
     {{"path", "<board>"},
      {"description", HOSTILE_JSON},
      {"version", "\"Plinth BL 9.4\""},
      {"file", "\"image.bin\""},
      {"result", "0"},
      {"bytes_sent", "5"},
      {"seconds", "<number>"},
      {"reason", "null"}},
     "Send Completed"},
    {"RunSendFailed",
     {"--banner", "Plinth BL 9.4", "--wrong-reply", "s1"},
     {"image.bin"},
     39,
     {{"path", "<board>"},
      {"description", HOSTILE_JSON},
      {"version", "\"Plinth BL 9.4\""},
      {"file", "\"image.bin\""},
      {"result", "39"},
      {"bytes_sent", "0"},
      {"seconds", "<number>"},
      {"reason", "\"the board answered '#' (0x23) where '>' (0x3E) was expected\""}},
     "Send Failed"},
    // Loaded, but its start not confirmed: a failure, with the reason.
    {"RunExecuteRefused",
     {"--wrong-reply", "x1:41"},
     {"image.bin"},
     39,
     {{"path", "<board>"},
      {"description", HOSTILE_JSON},
      {"version", "\"Plinth BL 2.1\""},
      {"file", "\"image.bin\""},
      {"result", "39"},
      {"bytes_sent", "5"},
      {"seconds", "<number>"},
      {"reason", "\"the image was loaded, but the board did not confirm its start: the board "
                 "answered 'A' (0x41) where '#' (0x23) was expected\""}},
     "Reason: the image was loaded"},
    {"RunNoBoard",
     {},
     {"--wait", "0.3", "image.bin"},
     2,
     {{"path", "null"},
      {"description", "null"},
      {"version", "null"},
      {"file", "\"image.bin\""},
      {"result", "2"},
      {"bytes_sent", "0"},
      {"seconds", "<number>"},
      {"reason", "\"no board found within 0.3 s\""}},
     "No board found within 0.3 s"},
    // --all: one object a board (one line each), each with its reason; a board not asked has
    // no version.
    {"TrayExecuteRefused",
     {"--wrong-reply", "x1:41"},
     {"--all", "image.bin"},
     39,
     {{"path", "<board>"},
      {"description", HOSTILE_JSON},
      {"version", "\"Plinth BL 2.1\""},
      {"file", "\"image.bin\""},
      {"result", "39"},
      {"bytes_sent", "5"},
      {"seconds", "<number>"},
      {"reason", "<text>"}},
     "1 boards flashed"},
    {"TrayBoardHeld",
     {"--banner", "Plinth BL 9.4"},
     {"--all", "image.bin"},
     2,
     {{"path", "<board>"},
      {"description", HOSTILE_JSON},
      {"version", "null"},
      {"file", "\"image.bin\""},
      {"result", "2"},
      {"bytes_sent", "0"},
      {"seconds", "<number>"},
      {"reason", "<text>"}},
     "board in use by process",
     true},
    {"TrayTooFewBoards",
     {"--banner", "Plinth BL 9.4"},
     {"--all", "--count", "2", "--wait", "0.3", "image.bin"},
     2,
     {{"path", "<board>"},
      {"description", HOSTILE_JSON},
      {"version", "null"},
      {"file", "\"image.bin\""},
      {"result", "2"},
      {"bytes_sent", "0"},
      {"seconds", "<number>"},
      {"reason", "\"1 of 2 boards found within 0.3 s\""}},
     "1 of 2 boards found within 0.3 s; giving up."},
    {"TrayNoBoard",
     {},
     {"--all", "--wait", "0.3", "image.bin"},
     2,
     {{"path", "null"},
      {"description", "null"},
      {"version", "null"},
      {"file", "\"image.bin\""},
      {"result", "2"},
      {"bytes_sent", "0"},
      {"seconds", "<number>"},
      {"reason", "\"0 of 1 boards found within 0.3 s\""}},
     "0 of 1 boards found"},
};

void PrintTo(const CJsonCase& row, std::ostream* pStream)
{
    *pStream << row.m_pszName;
}

class JsonOutputTable : public ::testing::TestWithParam<CJsonCase>
{
protected:
    CScratch m_scratch;
    CBoardProcess m_board;
};

TEST_P(JsonOutputTable, OneJsonTextOnStandardOutputFieldByField)
{
    const CJsonCase& row = GetParam();
    if (!row.m_boardOptions.empty())
    {
        ASSERT_TRUE(m_board.Start(m_scratch, {"a=" + HOSTILE}, row.m_boardOptions));
    }
    m_scratch.WriteFile("image.bin", "12345");
    CBoardLock held;
    if (row.m_bBoardHeld)
    {
        held = CBoardLock::TryLock(m_scratch.Registry() + "/a");
        ASSERT_EQ(held.State(), EBoardLock::Held);
    }
    std::vector<std::string> arguments = {"--headless", "--json"};
    arguments.insert(arguments.end(), row.m_arguments.begin(), row.m_arguments.end());

    const CProcessResult result =
        RunProgram(arguments, m_scratch.Environment(), m_scratch.m_strRoot);

    EXPECT_EQ(result.m_nExitCode, row.m_nExit) << result.m_strErr;
    std::map<std::string, std::string> fields = Fields(m_scratch, result.m_strOut);
    EXPECT_EQ(fields.count("invalid"), 0u) << result.m_strOut;
    for (const auto& [strKey, strExpected] : row.m_fields)
    {
        ASSERT_EQ(fields.count(strKey), 1u) << strKey << " in " << result.m_strOut;
        if (strExpected == "<number>")
        {
            EXPECT_NE(fields[strKey].find_first_of("0123456789"), std::string::npos);
            EXPECT_EQ(fields[strKey].find('"'), std::string::npos);
        }
        else if (strExpected == "<text>")
        {
            EXPECT_TRUE(fields[strKey].size() > 10 && fields[strKey].starts_with('"')) << strKey;
        }
        else if (strExpected == "<board>")
        {
            EXPECT_EQ(fields[strKey], "\"" + m_scratch.Registry() + "/a\"");
        }
        else
        {
            EXPECT_EQ(fields[strKey], strExpected) << strKey;
        }
    }
    EXPECT_EQ(fields.size(), row.m_fields.size()) << result.m_strOut;
    if (!row.m_strErrContains.empty())
    {
        EXPECT_NE(result.m_strErr.find(row.m_strErrContains), std::string::npos) << result.m_strErr;
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, JsonOutputTable, ::testing::ValuesIn(JSON_CASES),
                         [](const auto& info) { return std::string(info.param.m_pszName); });
} // namespace
