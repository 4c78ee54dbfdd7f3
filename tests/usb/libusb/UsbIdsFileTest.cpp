// The per-user USB id file: only a regular file of bounded size is read, nothing at its path
// can hang or exhaust the program, and an unchanged file is not read again on every poll.

#include "lang/ScopedEnv.h"
#include "lang/TempDir.h"
#include "usb/libusb/UsbBoardIds.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
struct CIdFileCase
{
    const char* m_pszName;
    // Puts something at strPath.
    void (*m_fnMake)(const CTempDir& temp, const std::string& strPath);
    bool m_bRead;
    size_t m_nIds;
    const char* m_pszProblem; // part of the reason, when ignored
};

const CIdFileCase ID_FILE_CASES[] = {
    {"RegularFile",
     [](const CTempDir& temp, const std::string&)
     { temp.Write("usb-ids", "1209:0001, 1209:0002\n# x\n"); },
     true, 2, ""},
    {"Missing", [](const CTempDir&, const std::string&) {}, true, 0, ""},
    {"FifoWithoutWriter",
     [](const CTempDir&, const std::string& strPath)
     { ASSERT_EQ(::mkfifo(strPath.c_str(), 0600), 0); },
     false, 0, "FIFO"},
    {"LinkToDevZero",
     [](const CTempDir&, const std::string& strPath)
     { ASSERT_EQ(::symlink("/dev/zero", strPath.c_str()), 0); },
     false, 0, "device"},
    {"Directory",
     [](const CTempDir&, const std::string& strPath)
     { ASSERT_EQ(::mkdir(strPath.c_str(), 0700), 0); },
     false, 0, "directory"},
    {"Oversize",
     [](const CTempDir& temp, const std::string&)
     {
         std::string strText;
         while (strText.size() <= USB_IDS_FILE_MAX_SIZE)
         {
             strText += "1209:0001\n";
         }
         temp.Write("usb-ids", strText);
     },
     false, 0, "larger than"},
    {"ExactlyAtTheCap",
     [](const CTempDir& temp, const std::string&)
     { temp.Write("usb-ids", "1209:0003" + std::string(USB_IDS_FILE_MAX_SIZE - 9, '\n')); },
     true, 1, ""},
};

class UsbIdsFileTable : public ::testing::TestWithParam<CIdFileCase>
{
};

TEST_P(UsbIdsFileTable, OnlyBoundedRegularFilesAreRead)
{
    const CIdFileCase& testCase = GetParam();
    CTempDir temp;
    const std::string strPath = temp.Path("usb-ids");
    testCase.m_fnMake(temp, strPath);
    std::vector<CUsbBoardId> ids;
    std::string strProblem;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ReadUsbIdsFile(strPath, &ids, &strProblem), testCase.m_bRead) << strProblem;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(ids.size(), testCase.m_nIds);
    if (testCase.m_bRead)
    {
        EXPECT_EQ(strProblem, "");
    }
    else
    {
        EXPECT_NE(strProblem.find(testCase.m_pszProblem), std::string::npos) << strProblem;
        EXPECT_NE(strProblem.find(strPath), std::string::npos) << strProblem;
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, UsbIdsFileTable, ::testing::ValuesIn(ID_FILE_CASES),
                         [](const auto& info) { return std::string(info.param.m_pszName); });

bool Has(const std::vector<CUsbBoardId>& ids, uint16_t nProduct)
{
    return std::find(ids.begin(), ids.end(), CUsbBoardId{0x1209, nProduct}) != ids.end();
}

TEST(UsbIdsFileCache, UnchangedFileIsNotReadAgainAndAChangedOneIs)
{
    CTempDir temp;
    CScopedEnv config("XDG_CONFIG_HOME", temp.Path("").c_str());
    const std::string strPath = temp.Write("quillon/usb-ids", "1209:0a01\n");
    ASSERT_TRUE(Has(GetUsbBoardIds(), 0x0a01));

    // Same size, same modification time: taken as the same file, not read again.
    struct stat info
    {
    };
    ASSERT_EQ(::stat(strPath.c_str(), &info), 0);
    temp.Write("quillon/usb-ids", "1209:0a02\n");
    const timespec times[2] = {info.st_atim, info.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, strPath.c_str(), times, 0), 0);
    EXPECT_TRUE(Has(GetUsbBoardIds(), 0x0a01));

    // A new modification time is read.
    const timespec later[2] = {info.st_atim, {info.st_mtim.tv_sec + 5, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, strPath.c_str(), later, 0), 0);
    std::vector<CUsbBoardId> ids = GetUsbBoardIds();
    EXPECT_TRUE(Has(ids, 0x0a02));
    EXPECT_FALSE(Has(ids, 0x0a01));

    // Replaced by a FIFO: ignored with a reason, and the old ids are gone with the file.
    ASSERT_EQ(::unlink(strPath.c_str()), 0);
    ASSERT_EQ(::mkfifo(strPath.c_str(), 0600), 0);
    ids = GetUsbBoardIds();
    EXPECT_FALSE(Has(ids, 0x0a02));
    EXPECT_TRUE(Has(ids, 0x5150)); // the built-in ids stay
    EXPECT_NE(UsbIdsFileProblem().find("FIFO"), std::string::npos);

    ASSERT_EQ(::unlink(strPath.c_str()), 0);
    GetUsbBoardIds();
    EXPECT_EQ(UsbIdsFileProblem(), "");
}
} // namespace
