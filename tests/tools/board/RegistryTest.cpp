// The registry helpers shared by the host and by board programs.

#include "tools/board/BoardProcess.h"
#include "usb/virtual/VirtualRegistry.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <optional>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace
{
// Sets or clears environment variables for one test, restoring them afterwards.
class CEnvironment
{
public:
    ~CEnvironment()
    {
        for (const auto& [strName, value] : m_saved)
        {
            value ? ::setenv(strName.c_str(), value->c_str(), 1) : ::unsetenv(strName.c_str());
        }
    }
    void Set(const std::string& strName, const std::optional<std::string>& value)
    {
        const char* pszOld = std::getenv(strName.c_str());
        m_saved.emplace_back(strName, pszOld ? std::optional<std::string>(pszOld) : std::nullopt);
        value ? ::setenv(strName.c_str(), value->c_str(), 1) : ::unsetenv(strName.c_str());
    }

private:
    std::vector<std::pair<std::string, std::optional<std::string>>> m_saved;
};

std::string CurrentDirectory()
{
    char szPath[4096];
    return ::getcwd(szPath, sizeof(szPath)) != nullptr ? szPath : "";
}

TEST(RegistryTest, DirectoryAndItsFallBacks)
{
    using Env = std::optional<std::string>;
    const std::string strUid = std::to_string(::getuid());
    struct CCase
    {
        Env m_boardDir;
        Env m_runtimeDir;
        std::string m_strExpected;
    };
    const CCase cases[] = {
        {"/srv/boards", "/run/user/1", "/srv/boards"},
        {"/srv/boards/", std::nullopt, "/srv/boards"},
        {"relative/reg", std::nullopt, CurrentDirectory() + "/relative/reg"},
        {"", "/run/user/1", "/run/user/1/quillon/boards"}, // empty counts as unset
        {std::nullopt, "/run/user/1", "/run/user/1/quillon/boards"},
        {std::nullopt, "", "/tmp/quillon-" + strUid + "/boards"},
        {std::nullopt, std::nullopt, "/tmp/quillon-" + strUid + "/boards"},
    };
    for (const CCase& testCase : cases)
    {
        CEnvironment environment;
        environment.Set("QUILLON_BOARD_DIR", testCase.m_boardDir);
        environment.Set("XDG_RUNTIME_DIR", testCase.m_runtimeDir);
        EXPECT_EQ(GetBoardRegistryDirectory(), testCase.m_strExpected)
            << testCase.m_boardDir.value_or("(unset)") << " "
            << testCase.m_runtimeDir.value_or("(unset)");
    }
}

TEST(RegistryTest, EnsureCreatesPrivateDirectories)
{
    CTempDir temp;
    const mode_t nOldMask = ::umask(0);
    CEnvironment environment;
    environment.Set("QUILLON_BOARD_DIR", std::nullopt);
    environment.Set("XDG_RUNTIME_DIR", temp.Path() + "/run");
    ASSERT_EQ(::mkdir((temp.Path() + "/run").c_str(), 0755), 0);
    std::string strError;
    const std::string strRegistry = GetBoardRegistryDirectory();
    EXPECT_TRUE(EnsureBoardRegistry(strRegistry, &strError)) << strError;
    ::umask(nOldMask);
    for (const std::string& strPath : {temp.Path() + "/run/quillon", strRegistry})
    {
        struct stat info
        {
        };
        ASSERT_EQ(::stat(strPath.c_str(), &info), 0) << strPath;
        EXPECT_EQ(info.st_mode & 07777, 0700u) << strPath;
    }
    // Quillon's own parent opened to others makes the registry untrusted.
    ASSERT_EQ(::chmod((temp.Path() + "/run/quillon").c_str(), 0777), 0);
    EXPECT_FALSE(EnsureBoardRegistry(strRegistry, &strError));
    EXPECT_NE(strError.find("writable by group or others"), std::string::npos) << strError;
    // A file where the registry should be.
    const std::string strFile = temp.Path() + "/file";
    std::ofstream(strFile) << "x";
    EXPECT_FALSE(EnsureBoardRegistry(strFile, &strError));
    EXPECT_FALSE(EnsureBoardRegistry(strFile + "/boards", &strError));
}

TEST(RegistryTest, BoardNamesInByteOrderDirectoriesOnly)
{
    CTempDir temp;
    const std::string strRoot = temp.Path();
    for (const char* pszName : {"b", "a", "B", "a0", "\xc3\xa9", ".building", "_x", "10", "9"})
    {
        ASSERT_EQ(::mkdir((strRoot + "/" + pszName).c_str(), 0700), 0);
    }
    std::ofstream(strRoot + "/zfile") << "not a board";
    ASSERT_EQ(::symlink((strRoot + "/a").c_str(), (strRoot + "/zlink").c_str()), 0);
    const std::vector<std::string> expected = {"10", "9", "B", "_x", "a", "a0", "b", "\xc3\xa9"};
    EXPECT_EQ(ListBoardNames(strRoot), expected);
    ASSERT_EQ(::chmod(strRoot.c_str(), 0722), 0);
    EXPECT_TRUE(ListBoardNames(strRoot).empty());
    EXPECT_TRUE(ListBoardNames(strRoot + "/missing").empty());
}

TEST(RegistryTest, DescriptionUpToNewlineOrNul)
{
    CTempDir temp;
    struct CCase
    {
        const char* m_pszName;
        std::optional<std::string> m_content; // nullopt: no file
        std::string m_strExpected;
    };
    const CCase cases[] = {
        {"plain", "Plinth board", "Plinth board"},
        {"newline", "First line\nsecond", "First line"},
        {"nul", std::string("ab\0cd", 5), "ab"},
        {"crlf", "Board\r\nrest", "Board\r"},
        {"empty", "", ""},
        {"leadingNewline", "\nlater", ""},
        {"long", std::string(10000, 'x') + "\ny", std::string(10000, 'x')},
        {"missing", std::nullopt, ""},
    };
    for (const CCase& testCase : cases)
    {
        const std::string strBoard = temp.Path() + "/" + testCase.m_pszName;
        ASSERT_EQ(::mkdir(strBoard.c_str(), 0700), 0);
        if (testCase.m_content)
        {
            std::ofstream(strBoard + "/description", std::ios::binary) << *testCase.m_content;
        }
        EXPECT_EQ(ReadBoardDescription(strBoard), testCase.m_strExpected) << testCase.m_pszName;
    }
    // Neither a directory nor a FIFO in its place may hang or fail discovery.
    const std::string strOdd = temp.Path() + "/odd";
    ASSERT_EQ(::mkdir(strOdd.c_str(), 0700), 0);
    ASSERT_EQ(::mkfifo((strOdd + "/description").c_str(), 0600), 0);
    EXPECT_EQ(ReadBoardDescription(strOdd), "");
    ASSERT_EQ(::unlink((strOdd + "/description").c_str()), 0);
    ASSERT_EQ(::mkdir((strOdd + "/description").c_str(), 0700), 0);
    EXPECT_EQ(ReadBoardDescription(strOdd), "");
}

TEST(RegistryTest, SocketsOnShortAndLongPaths)
{
    CTempDir temp;
    for (size_t nLength : {20u, 100u, 107u, 108u, 200u, 3000u})
    {
        std::string strDirectory = temp.Path();
        while (strDirectory.size() + sizeof("/PIPE00") - 1 < nLength)
        {
            strDirectory += "/d" + std::string(std::min<size_t>(200, nLength - strDirectory.size() -
                                                                         sizeof("/PIPE00")),
                                               'x');
            ::mkdir(strDirectory.c_str(), 0700);
        }
        const std::string strSocket = strDirectory + "/PIPE00";
        SCOPED_TRACE(strSocket.size());
        const int nListen = ListenBoardSocket(strSocket);
        ASSERT_GE(nListen, 0) << std::strerror(errno);
        EXPECT_TRUE(::fcntl(nListen, F_GETFD) & FD_CLOEXEC);
        const int nClient = ConnectBoardSocket(strSocket);
        ASSERT_GE(nClient, 0) << std::strerror(errno);
        EXPECT_TRUE(::fcntl(nClient, F_GETFD) & FD_CLOEXEC);
        const int nServer = ::accept4(nListen, nullptr, nullptr, SOCK_CLOEXEC);
        ASSERT_GE(nServer, 0);
        EXPECT_EQ(::write(nClient, "q", 1), 1);
        char nByte = 0;
        EXPECT_EQ(::read(nServer, &nByte, 1), 1);
        EXPECT_EQ(nByte, 'q');
        ::close(nServer);
        ::close(nClient);
        ::close(nListen);
        ::unlink(strSocket.c_str());
    }
    // Nobody listening: a plain failure with errno, not a hang.
    EXPECT_EQ(ConnectBoardSocket(temp.Path() + "/none/PIPE00"), -1);
    EXPECT_EQ(errno, ENOENT);
}
} // namespace
