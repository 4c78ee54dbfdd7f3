// The machine-readable output: JSON that any parser takes, whatever bytes a board sends, and
// the fields of --list, --board-version and the run, read back by a real JSON parser.

#include "app/JsonWriter.h"
#include "app/ProcessHarness.h"

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
// arrays as "INDEX.KEY"; "invalid" when the parser refuses the text.
std::map<std::string, std::string> Fields(const CScratch& scratch, const std::string& strJson)
{
    scratch.WriteFile("out.json", strJson);
    const std::string strCommand = "python3 -c 'import json,sys\n"
                                   "try: d=json.load(open(sys.argv[1], encoding=\"utf-8\"))\n"
                                   "except Exception: print(\"invalid\\t1\"); sys.exit()\n"
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
    // Expected fields; "<number>": any number; "<board>": the path of board a
    std::map<std::string, std::string> m_fields;
    std::string m_strErrContains;
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
     {{"path", "<board>"}, {"description", HOSTILE_JSON}, {"version", "\"BL \\\"x\\\"\\t1\""}},
     ""},
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
      {"seconds", "<number>"}},
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
      {"seconds", "<number>"}},
     "Send Failed"},
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
      {"seconds", "<number>"}},
     "No board found within 0.3 s"},
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
