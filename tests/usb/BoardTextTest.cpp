// Board bytes shown to the user cannot drive the terminal or forge lines.

#include "usb/BoardText.h"

#include <gtest/gtest.h>

namespace
{
struct CTextCase
{
    const char* m_pszName;
    std::string m_strIn;
    std::string m_strShown;
};

const CTextCase TEXT_CASES[] = {
    {"PlainBannerKept", "Plinth BL 2.1", "Plinth BL 2.1"},
    {"Utf8Kept", "Platine \xC3\xA9t\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x94\xA7",
     "Platine \xC3\xA9t\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x94\xA7"},
    {"ClearScreen", "\x1b[2J\x1b[Hboard", "?[2J?[Hboard"},
    {"WindowTitle", "\x1b]0;owned\x07x", "?]0;owned?x"},
    {"HiddenText", "a\x1b[8msecret", "a?[8msecret"},
    {"CarriageReturnOverwrite", "evil\rgood", "evil?good"},
    {"NewlineForgesNoLine", "name\n/tmp/fake\tv", "name?/tmp/fake?v"},
    {"DeleteAndBackspace", "ab\x08\x7f", "ab??"},
    {"C1ControlAsUtf8",
     "x\xC2\x9B"
     "2J",
     "x?2J"},
    {"C1ControlAsRawByte",
     "x\x9B"
     "2J",
     "x?2J"},
    {"BidiOverride",
     "abc\xE2\x80\xAE"
     "fed",
     "abc?fed"},
    {"BidiIsolate", "\xE2\x81\xA6x\xE2\x81\xA9", "?x?"},
    {"TruncatedSequence", "ok\xE2\x82", "ok??"},
    {"OverlongSlash", "\xC0\xAF", "??"},
    {"EncodedSurrogate", "\xED\xA0\x80", "???"},
    {"BeyondUnicode", "\xF4\x90\x80\x80", "????"},
    {"NulInside", std::string("a\0b", 3), "a?b"},
    {"Empty", "", ""},
};

class ShowableBoardTextTable : public ::testing::TestWithParam<CTextCase>
{
};

TEST_P(ShowableBoardTextTable, ControlsAndBrokenBytesBecomeQuestionMarks)
{
    EXPECT_EQ(ShowableBoardText(GetParam().m_strIn), GetParam().m_strShown);
}

INSTANTIATE_TEST_SUITE_P(Rows, ShowableBoardTextTable, ::testing::ValuesIn(TEXT_CASES),
                         [](const auto& info) { return std::string(info.param.m_pszName); });
} // namespace
