// The outputs of --receive and --convert: what becomes of the name the user gave, whatever it
// names. Each write runs in a child process, as root or as an ordinary user, with its own
// standard output, so that the test process keeps its own.

#include "app/FileOutput.h"
#include "lang/TempDir.h"
#include "support/ChildProcess.h"
#include "usb/PipeLayer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <functional>
#include <grp.h>
#include <set>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{
const std::string DATA = std::string("memory\0dump\n", 12);
constexpr uid_t USER = 65534;
constexpr gid_t USER_GROUP = 65534;

std::string ReadAll(const std::string& strPath)
{
    std::ifstream file(strPath, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

std::set<std::string> Names(const std::string& strDir)
{
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(strDir))
    {
        names.insert(entry.path().filename().string());
    }
    return names;
}

struct stat Stat(const std::string& strPath)
{
    struct stat info = {};
    ::stat(strPath.c_str(), &info);
    return info;
}

struct COutputCase
{
    const char* m_pszName;
    // Makes what the folder holds before the write ("out" and what it needs), as root.
    std::function<void(const CTempDir&)> m_fnSetUp;
    std::string m_strTarget; // the name the user gives, in the folder
    bool m_bAsUser;          // written by an ordinary user, not by root
    bool m_bOk;
    // What the folder holds afterwards: empty when right, else what is wrong.
    std::function<std::string(const CTempDir&)> m_fnCheck;
};

std::string Expect(bool bRight, const std::string& strWhat)
{
    return bRight ? std::string() : strWhat + "; ";
}

// The names afterwards, and the contents of the file that should hold the data.
std::function<std::string(const CTempDir&)> Holds(std::set<std::string> names, std::string strFile,
                                                  std::string strContents)
{
    return [=](const CTempDir& dir)
    {
        return Expect(Names(dir.m_path) == names, "other names in the folder") +
               Expect(ReadAll(dir.Path(strFile)) == strContents, strFile + " holds other bytes");
    };
}

std::function<std::string(const CTempDir&)> And(std::function<std::string(const CTempDir&)> a,
                                                std::function<std::string(const CTempDir&)> b)
{
    return [=](const CTempDir& dir) { return a(dir) + b(dir); };
}

void MakeFile(const CTempDir& dir, const std::string& strName, mode_t nMode, uid_t nOwner,
              gid_t nGroup)
{
    dir.Write(strName, "old");
    ::chmod(dir.Path(strName).c_str(), nMode);
    [[maybe_unused]] const int nResult = ::chown(dir.Path(strName).c_str(), nOwner, nGroup);
}

const std::string LONG_NAME = std::string(250, 'n');

const COutputCase OUTPUT_CASES[] = {
    {"NewFileGetsTheUsualMode", [](const CTempDir&) {}, "out", false, true,
     And(Holds({"out"}, "out", DATA), [](const CTempDir& dir)
         { return Expect((Stat(dir.Path("out")).st_mode & 07777) == 0644, "mode is not 0644"); })},
    {"PrivateFileKeepsItsModeAndGroup",
     [](const CTempDir& dir) { MakeFile(dir, "out", 0640, 0, USER_GROUP); }, "out", false, true,
     And(Holds({"out"}, "out", DATA),
         [](const CTempDir& dir)
         {
             const struct stat info = Stat(dir.Path("out"));
             return Expect((info.st_mode & 07777) == 0640, "mode is not 0640") +
                    Expect(info.st_gid == USER_GROUP, "group changed");
         })},
    {"LinkIsWrittenThrough",
     [](const CTempDir& dir)
     {
         dir.Write("real.bin", "old");
         std::filesystem::create_symlink("real.bin", dir.m_path / "out");
     },
     "out", false, true,
     And(Holds({"out", "real.bin"}, "real.bin", DATA),
         [](const CTempDir& dir) {
             return Expect(std::filesystem::is_symlink(dir.m_path / "out"),
                           "the link was replaced");
         })},
    {"LinkToANewNameMakesIt",
     [](const CTempDir& dir) { std::filesystem::create_symlink("new.bin", dir.m_path / "out"); },
     "out", false, true, Holds({"out", "new.bin"}, "new.bin", DATA)},
    {"HardLinksStayOneFile",
     [](const CTempDir& dir)
     {
         dir.Write("out", "old");
         std::filesystem::create_hard_link(dir.m_path / "out", dir.m_path / "other");
     },
     "out", false, true,
     And(Holds({"out", "other"}, "other", DATA),
         [](const CTempDir& dir) {
             return Expect(Stat(dir.Path("out")).st_ino == Stat(dir.Path("other")).st_ino,
                           "link broken");
         })},
    {"ReadOnlyFileIsRefused",
     [](const CTempDir& dir) { MakeFile(dir, "out", 0444, USER, USER_GROUP); }, "out", true, false,
     Holds({"out"}, "out", "old")},
    {"GroupTheUserCannotGiveIsKeptByWritingInPlace",
     [](const CTempDir& dir) { MakeFile(dir, "out", 0660, USER, 0); }, "out", true, true,
     And(Holds({"out"}, "out", DATA),
         [](const CTempDir& dir)
         {
             const struct stat info = Stat(dir.Path("out"));
             return Expect(info.st_gid == 0 && (info.st_mode & 07777) == 0660,
                           "group or mode changed");
         })},
    {"AnotherUsersLinkInTmpIsNotFollowed",
     [](const CTempDir& dir)
     {
         ::chmod(dir.m_path.c_str(), 01777);
         dir.Write("precious", "old");
         std::filesystem::create_symlink(dir.Path("precious"), dir.m_path / "out");
         [[maybe_unused]] const int nResult = ::lchown(dir.Path("out").c_str(), USER, USER_GROUP);
     },
     "out", false, false, Holds({"out", "precious"}, "precious", "old")},
    {"FolderIsRefused",
     [](const CTempDir& dir) { std::filesystem::create_directory(dir.m_path / "out"); }, "out",
     false, false,
     [](const CTempDir& dir)
     { return Expect(Names(dir.m_path) == std::set<std::string>{"out"}, "a file was left"); }},
    {"MissingFolderIsRefused", [](const CTempDir&) {}, "missing/out", false, false,
     [](const CTempDir& dir) { return Expect(Names(dir.m_path).empty(), "something was made"); }},
    {"LongValidNameWorks", [](const CTempDir& dir) { dir.Write(LONG_NAME, "old"); }, LONG_NAME,
     false, true, Holds({LONG_NAME}, LONG_NAME, DATA)},
    {"SocketIsRefused",
     [](const CTempDir& dir)
     {
         const int hSocket = ::socket(AF_UNIX, SOCK_STREAM, 0);
         sockaddr_un address = {};
         address.sun_family = AF_UNIX;
         std::snprintf(address.sun_path, sizeof address.sun_path, "%s", dir.Path("out").c_str());
         [[maybe_unused]] const int nBound =
             ::bind(hSocket, reinterpret_cast<sockaddr*>(&address), sizeof address);
         ::close(hSocket);
     },
     "out", false, false,
     [](const CTempDir& dir)
     { return Expect(Names(dir.m_path) == std::set<std::string>{"out"}, "a file was left"); }},
};

void PrintTo(const COutputCase& row, std::ostream* pStream)
{
    *pStream << row.m_pszName;
}

class OutputTable : public ::testing::TestWithParam<COutputCase>
{
};

TEST_P(OutputTable, WrittenAsTheNameAsks)
{
    const COutputCase& row = GetParam();
    if (row.m_bAsUser && ::geteuid() != 0)
    {
        GTEST_SKIP() << "an ordinary user's write is tried only when the test runs as root";
    }
    CTempDir dir;
    ::chmod(dir.m_path.c_str(), 0777);
    row.m_fnSetUp(dir);
    if (::geteuid() != 0 && (Stat(dir.m_path).st_mode & S_ISVTX) != 0)
    {
        GTEST_SKIP() << "another user's link is made only when the test runs as root";
    }
    const std::set<std::string> before = Names(dir.m_path);
    const std::string strTarget = dir.Path(row.m_strTarget);
    const std::string strFailure = RunInChild(
        [&]() -> std::string
        {
            ::umask(022);
            if (row.m_bAsUser &&
                (::setgroups(0, nullptr) != 0 || ::setgid(USER_GROUP) != 0 || ::setuid(USER) != 0))
            {
                return "cannot become an ordinary user";
            }
            COutputFile output;
            std::string strError;
            const bool bPrepared = output.Prepare(strTarget, strError);
            // Nothing is made before the data is in hand.
            if (Names(dir.m_path) != before)
            {
                return "Prepare made a file";
            }
            const bool bOk = bPrepared && output.Commit(DATA.data(), DATA.size(), strError);
            if (bOk != row.m_bOk)
            {
                return std::string(bOk ? "written" : "refused") + " (" + strError + ")";
            }
            return bOk || !strError.empty() ? std::string() : "refused without a reason";
        },
        std::chrono::seconds(10));
    EXPECT_EQ(strFailure, "");
    EXPECT_EQ(row.m_fnCheck(dir), "");
}

INSTANTIATE_TEST_SUITE_P(Rows, OutputTable, ::testing::ValuesIn(OUTPUT_CASES),
                         [](const auto& info) { return std::string(info.param.m_pszName); });

// Standard output, FIFOs and devices are streams: written through, never renamed over, and a
// wait for a reader or for room ends by the time-out.
struct CStreamCase
{
    const char* m_pszName;
    std::string m_strTarget; // "out" in the folder, or a path of the system
    bool m_bFifo;            // "out" is a FIFO
    bool m_bReader;          // a reader opens the FIFO
    bool m_bStdoutIsFile;    // standard output goes to the folder's "stdout" file
    bool m_bLinkToStdout;    // "out" is a link to /proc/self/fd/1
    bool m_bOk;
    bool m_bIsStandardOutput;
    const char* m_pszStdout; // what "stdout" holds afterwards
};

const CStreamCase STREAM_CASES[] = {
    {"LinkToStandardOutputWritesIt", "out", false, false, true, true, true, true, "DATA"},
    {"DevFdWritesIt", "/dev/fd/1", false, false, true, false, true, true, "DATA"},
    {"FifoWithAReader", "out", true, true, true, false, true, false, ""},
    {"FifoWithoutAReaderEndsByTheTimeOut", "out", true, false, true, false, false, false, ""},
    {"DeviceIsWrittenThrough", "/dev/null", false, false, true, false, true, false, ""},
};

void PrintTo(const CStreamCase& row, std::ostream* pStream)
{
    *pStream << row.m_pszName;
}

class StreamTable : public ::testing::TestWithParam<CStreamCase>
{
};

TEST_P(StreamTable, WrittenThroughAndNeverReplaced)
{
    const CStreamCase& row = GetParam();
    CTempDir dir;
    if (row.m_bFifo)
    {
        ASSERT_EQ(::mkfifo(dir.Path("out").c_str(), 0600), 0);
    }
    if (row.m_bLinkToStdout)
    {
        std::filesystem::create_symlink("/proc/self/fd/1", dir.m_path / "out");
    }
    const std::string strTarget = row.m_strTarget == "out" ? dir.Path("out") : row.m_strTarget;
    const std::string strFailure = RunInChild(
        [&]() -> std::string
        {
            const int hStdout =
                ::open(dir.Path("stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            if (hStdout < 0 || ::dup2(hStdout, STDOUT_FILENO) < 0)
            {
                return "cannot redirect standard output";
            }
            pid_t nReader = -1;
            if (row.m_bReader)
            {
                nReader = ::fork();
                if (nReader == 0)
                {
                    const std::string strRead = ReadAll(dir.Path("out"));
                    ::_exit(strRead == DATA ? 0 : 1);
                }
            }
            SetPipeTimeoutMs(300);
            COutputFile output;
            std::string strError;
            const auto start = std::chrono::steady_clock::now();
            const bool bOk = output.Prepare(strTarget, strError) &&
                             output.Commit(DATA.data(), DATA.size(), strError);
            const auto elapsed = std::chrono::steady_clock::now() - start;
            std::string strWrong;
            if (bOk != row.m_bOk)
            {
                strWrong += std::string(bOk ? "written" : "refused") + " (" + strError + "); ";
            }
            if (output.IsStandardOutput() != row.m_bIsStandardOutput)
            {
                strWrong += "not taken as standard output as it should; ";
            }
            if (elapsed > std::chrono::seconds(3))
            {
                strWrong += "the wait outlasted the time-out; ";
            }
            int nStatus = 0;
            if (nReader > 0 && (::waitpid(nReader, &nStatus, 0) != nReader || nStatus != 0))
            {
                strWrong += "the FIFO's reader did not get the data; ";
            }
            return strWrong;
        },
        std::chrono::seconds(10));
    EXPECT_EQ(strFailure, "");
    EXPECT_EQ(ReadAll(dir.Path("stdout")),
              std::string(row.m_pszStdout) == "DATA" ? DATA : row.m_pszStdout);
    // Whatever the name was, it is still that: a link, a FIFO.
    if (row.m_bLinkToStdout)
    {
        EXPECT_TRUE(std::filesystem::is_symlink(dir.m_path / "out"));
    }
    if (row.m_bFifo)
    {
        EXPECT_TRUE(std::filesystem::is_fifo(dir.m_path / "out"));
    }
    EXPECT_EQ(Names(dir.m_path).size(), row.m_bFifo || row.m_bLinkToStdout ? 2u : 1u);
}

INSTANTIATE_TEST_SUITE_P(Rows, StreamTable, ::testing::ValuesIn(STREAM_CASES),
                         [](const auto& info) { return std::string(info.param.m_pszName); });
} // namespace
