// What a Windows registry may name as a board's pipes: the name goes to CreateFileA, which
// would leave the pipe namespace through "..", "." or "/", so only plain pipe names pass.

#include "usb/virtual/PipeInterface.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>

namespace
{
struct CInterfaceCase
{
    const char* m_pszName;
    std::string m_strText;     // the interface file's contents
    std::string m_strExpected; // the interface path taken; empty: none
};

void PrintTo(const CInterfaceCase& test, std::ostream* pStream)
{
    *pStream << test.m_pszName;
}

const std::string LONG_COMPONENT(MAX_PIPE_NAME - 7, 'a'); // leaves just room for "\PIPE00"

class PipeInterfaceTable : public testing::TestWithParam<CInterfaceCase>
{
};

TEST_P(PipeInterfaceTable, OnlyPlainPipeNamesAreTaken)
{
    const CInterfaceCase& test = GetParam();
    EXPECT_EQ(PipeInterfaceFromText(test.m_strText), test.m_strExpected);
    if (!test.m_strExpected.empty())
    {
        EXPECT_TRUE(IsPipeInterfacePipeName(test.m_strExpected + "\\PIPE00"));
        EXPECT_TRUE(IsPipeInterfacePipeName(test.m_strExpected + "\\PIPE01"));
        EXPECT_FALSE(IsPipeInterfacePipeName(test.m_strExpected + "\\PIPE02"));
        EXPECT_FALSE(IsPipeInterfacePipeName(test.m_strExpected));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Texts, PipeInterfaceTable,
    testing::Values(CInterfaceCase{"Plain", "\\\\.\\pipe\\quillon\\boards\\7\\plinth0\n",
                                   "\\\\.\\pipe\\quillon\\boards\\7\\plinth0"},
                    CInterfaceCase{"CarriageReturnAndMoreLines", "\\\\.\\pipe\\b\r\nsecond line\n",
                                   "\\\\.\\pipe\\b"},
                    CInterfaceCase{"NoNewline", "\\\\.\\PIPE\\b", "\\\\.\\PIPE\\b"},
                    CInterfaceCase{"Empty", "", ""},
                    CInterfaceCase{"NamespaceOnly", "\\\\.\\pipe\\\n", ""},
                    CInterfaceCase{"AFileNotAPipe", "C:\\Users\\x\\image.bin\n", ""},
                    CInterfaceCase{"AnotherDevice", "\\\\.\\PhysicalDrive0\n", ""},
                    CInterfaceCase{"RemoteMachine", "\\\\server\\pipe\\b\n", ""},
                    CInterfaceCase{"DotDotOutOfTheNamespace", "\\\\.\\pipe\\..\\C:\\Windows\\x\n",
                                   ""},
                    CInterfaceCase{"DotDotInside", "\\\\.\\pipe\\a\\..\\b\n", ""},
                    CInterfaceCase{"DotComponent", "\\\\.\\pipe\\a\\.\\b\n", ""},
                    CInterfaceCase{"ForwardSlash", "\\\\.\\pipe\\a/../../b\n", ""},
                    CInterfaceCase{"EmptyComponent", "\\\\.\\pipe\\a\\\\b\n", ""},
                    CInterfaceCase{"TrailingBackslash", "\\\\.\\pipe\\a\\\n", ""},
                    CInterfaceCase{"ControlCharacter",
                                   std::string("\\\\.\\pipe\\a\x01"
                                               "b\n"),
                                   ""},
                    CInterfaceCase{"NulCutsTheName", std::string("\\\\.\\pipe\\a\0b\n", 13), ""},
                    CInterfaceCase{"LongestThatFits", "\\\\.\\pipe\\" + LONG_COMPONENT + "\n",
                                   "\\\\.\\pipe\\" + LONG_COMPONENT},
                    CInterfaceCase{"OneTooLong", "\\\\.\\pipe\\" + LONG_COMPONENT + "b\n", ""}),
    [](const testing::TestParamInfo<CInterfaceCase>& info) { return info.param.m_pszName; });

TEST(PipeInterface, BoardProgramsNamesAreValidAndUniquePerProcess)
{
    const std::string strFirst = BoardPipeInterface(12, "plinth0");
    EXPECT_TRUE(IsPipeInterfacePath(strFirst)) << strFirst;
    EXPECT_NE(strFirst, BoardPipeInterface(13, "plinth0"));
    EXPECT_FALSE(IsPipeInterfacePath(BoardPipeInterface(12, "..")));
}
} // namespace
