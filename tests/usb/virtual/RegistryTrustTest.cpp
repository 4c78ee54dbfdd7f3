// What the user is told about a registry whose boards are ignored.

#include "lang/TempDir.h"
#include "usb/virtual/VirtualRegistry.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

namespace
{
struct CTrustCase
{
    const char* m_pszName;
    mode_t m_nMode; // 0: no directory at all
    bool m_bFile;
    const char* m_pszSays; // empty: nothing to say
};

const CTrustCase TRUST_CASES[] = {
    {"Private", 0700, false, ""},
    {"ReadableByOthers", 0755, false, ""},
    {"Missing", 0, false, ""},
    {"WritableByGroup", 0770, false, "chmod 700 "},
    {"WritableByOthers", 0777, false, "chmod 700 "},
    {"NotADirectory", 0600, true, "not a directory"},
};

class RegistryTrustTable : public ::testing::TestWithParam<CTrustCase>
{
};

TEST_P(RegistryTrustTable, SaysWhyAndHowToFix)
{
    const CTrustCase& testCase = GetParam();
    CTempDir temp;
    const std::string strRegistry = temp.Path("boards");
    if (testCase.m_bFile)
    {
        temp.Write("boards", "");
    }
    else if (testCase.m_nMode != 0)
    {
        ASSERT_EQ(::mkdir(strRegistry.c_str(), 0700), 0);
        ASSERT_EQ(::chmod(strRegistry.c_str(), testCase.m_nMode), 0);
    }
    const std::string strProblem = RegistryTrustProblem(strRegistry);
    if (*testCase.m_pszSays == '\0')
    {
        EXPECT_EQ(strProblem, "");
        return;
    }
    EXPECT_NE(strProblem.find(testCase.m_pszSays), std::string::npos) << strProblem;
    EXPECT_NE(strProblem.find(strRegistry), std::string::npos) << strProblem;
    EXPECT_EQ(strProblem.find('\n'), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Rows, RegistryTrustTable, ::testing::ValuesIn(TRUST_CASES),
                         [](const auto& info) { return std::string(info.param.m_pszName); });

TEST(RegistryTrust, AnotherUsersRegistryIsNamed)
{
    if (::geteuid() != 0)
    {
        GTEST_SKIP() << "needs root to give a directory away";
    }
    CTempDir temp;
    const std::string strRegistry = temp.Path("boards");
    ASSERT_EQ(::mkdir(strRegistry.c_str(), 0700), 0);
    ASSERT_EQ(::chown(strRegistry.c_str(), 65534, 65534), 0);
    EXPECT_NE(RegistryTrustProblem(strRegistry).find("another user (uid 65534)"),
              std::string::npos);
}
} // namespace
