// ELF, HEX and S-record files through the program as a process: what a virtual board
// receives, and what --convert writes, against objcopy's flat image of the same file.

#include "app/ProcessHarness.h"
#include "image/FirmwareToolchain.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
std::string LengthField(size_t nLength)
{
    std::string str(4, '\0');
    for (int i = 0; i < 4; ++i)
    {
        str[i] = static_cast<char>((nLength >> (8 * i)) & 0xFF);
    }
    return str;
}

struct CFormatRow
{
    const char* m_pszName;
    const char* m_pszObjcopyFormat;
    const char* m_pszLine; // the start of the line on standard error
};

const CFormatRow FORMATS[] = {
    {"lma.elf", "elf32-littlearm", "lma.elf: ELF, 2 sections, 0x08000000\xE2\x80\x93"},
    {"lma.hex", "ihex", "lma.hex: Intel HEX, "},
    {"lma.srec", "srec", "lma.srec: S-record, "},
    // Linked after a 2 KiB bootloader: the ELF headers in the file's first segment stay out.
    {"app.elf", "elf32-littlearm", "app.elf: ELF, 7 sections, 0x08000800\xE2\x80\x93"},
};

class ImageProcessTest : public ::testing::Test
{
protected:
    CScratch m_scratch;
    CBoardProcess m_board;

    void SetUp() override
    {
        CBuiltFirmware built;
        std::string strError;
        ASSERT_TRUE(BuildFirmware("lma", m_scratch.m_strRoot, built, strError)) << strError;
        ASSERT_TRUE(BuildFirmware({"app", "app.c",
                                   "--specs=nano.specs --specs=nosys.specs -T @/app.ld "
                                   "-Wl,--defsym=FLASH_ORIGIN=0x08000800"},
                                  m_scratch.m_strRoot, built, strError))
            << strError;
    }

    std::vector<uint8_t> Reference(const CFormatRow& row)
    {
        std::vector<uint8_t> image;
        std::string strError;
        EXPECT_TRUE(ObjcopyFlatImage(m_scratch.Path(row.m_pszName), row.m_pszObjcopyFormat, 0xFF,
                                     image, strError))
            << strError;
        return image;
    }

    CProcessResult Run(const std::vector<std::string>& arguments)
    {
        return RunProgram(arguments, m_scratch.Environment(), m_scratch.m_strRoot);
    }
};

TEST_F(ImageProcessTest, BoardReceivesObjcopysImageOfEachFormat)
{
    const std::string strSaved = m_scratch.Path("saved");
    mkdir(strSaved.c_str(), 0700);
    ASSERT_TRUE(m_board.Start(m_scratch, {"plinth0=Bench board"}, {"--save-dir", strSaved}));
    for (const CFormatRow& row : FORMATS)
    {
        SCOPED_TRACE(row.m_pszName);
        std::filesystem::remove(strSaved + "/plinth0.bin");
        const std::vector<uint8_t> expected = Reference(row);
        ASSERT_FALSE(expected.empty());

        const CProcessResult result = Run({"--headless", row.m_pszName});
        EXPECT_EQ(result.m_nExitCode, 0) << result.m_strErr;
        EXPECT_NE(result.m_strErr.find(std::string(row.m_pszLine)), std::string::npos)
            << result.m_strErr;
        EXPECT_NE(result.m_strErr.find(", " + std::to_string(expected.size()) + " bytes\n"),
                  std::string::npos)
            << result.m_strErr;
        EXPECT_TRUE(ReadFileBytes(strSaved + "/plinth0.bin") == expected)
            << "the board holds other bytes than objcopy's flat image";
    }
    m_board.Stop();

    // The wire shows the same: each run sent the whole flat image and started it.
    const CBoardWire wire = ReadWireLog(m_scratch.BoardLog())["plinth0"];
    std::string strExpected;
    for (const CFormatRow& row : FORMATS)
    {
        const std::vector<uint8_t> image = Reference(row);
        strExpected +=
            "vvs" + LengthField(image.size()) + std::string(image.begin(), image.end()) + "x";
    }
    EXPECT_TRUE(std::string(wire.m_hostToBoard.begin(), wire.m_hostToBoard.end()) == strExpected);
}

TEST_F(ImageProcessTest, DamagedFileIsRefusedAndNothingIsSent)
{
    std::string strHex;
    {
        const std::vector<uint8_t> bytes = ReadFileBytes(m_scratch.Path("lma.hex"));
        strHex.assign(bytes.begin(), bytes.end());
    }
    // Third line: one digit of the data changed, the checksum left as it was.
    std::string strBad = strHex;
    size_t nLine3 = strBad.find('\n', strBad.find('\n') + 1) + 1;
    strBad[nLine3 + 10] = strBad[nLine3 + 10] == '0' ? '1' : '0';
    std::string strUtf16 = "\xFF\xFE";
    for (char c : strHex)
    {
        strUtf16 += std::string(1, c) + '\0';
    }
    struct CDamaged
    {
        const char* m_pszName;
        std::string m_strContents;
        const char* m_pszErr;
    };
    // Record text that does not read as records is refused, never sent as a flat binary.
    const CDamaged FILES[] = {
        {"bad.hex", strBad, "bad.hex (line 3: checksum error"},
        {"notes.hex", "# built by the nightly job\n" + strHex,
         "notes.hex (line 1: not an Intel HEX"},
        {"unicode.hex", strUtf16, "unicode.hex (the file is UTF-16 text"},
    };
    ASSERT_TRUE(m_board.Start(m_scratch, {"plinth0=Bench board"}));
    for (const CDamaged& row : FILES)
    {
        SCOPED_TRACE(row.m_pszName);
        m_scratch.WriteFile(row.m_pszName, row.m_strContents);
        const CProcessResult result = Run({"--headless", "--wait", "5", row.m_pszName});
        EXPECT_EQ(result.m_nExitCode, 25);
        EXPECT_NE(result.m_strErr.find(row.m_pszErr), std::string::npos) << result.m_strErr;
    }
    m_board.Stop();
    EXPECT_TRUE(ReadWireLog(m_scratch.BoardLog())["plinth0"].m_hostToBoard.empty());
}

TEST_F(ImageProcessTest, ConvertWritesTheFlatImageWithoutABoard)
{
    for (const CFormatRow& row : FORMATS)
    {
        SCOPED_TRACE(row.m_pszName);
        const CProcessResult result = Run({"--convert", row.m_pszName, "-o", "out.bin"});
        EXPECT_EQ(result.m_nExitCode, 0) << result.m_strErr;
        EXPECT_NE(result.m_strErr.find(row.m_pszLine), std::string::npos) << result.m_strErr;
        EXPECT_TRUE(ReadFileBytes(m_scratch.Path("out.bin")) == Reference(row));
        // "-o -": the same bytes on standard output, the words on standard error.
        const CProcessResult piped = Run({"--convert", row.m_pszName, "-o", "-"});
        EXPECT_EQ(piped.m_nExitCode, 0) << piped.m_strErr;
        EXPECT_TRUE(std::vector<uint8_t>(piped.m_strOut.begin(), piped.m_strOut.end()) ==
                    Reference(row));
        EXPECT_NE(piped.m_strErr.find(row.m_pszLine), std::string::npos) << piped.m_strErr;
        EXPECT_FALSE(std::filesystem::exists(m_scratch.Path("-")));
    }

    struct CFailure
    {
        std::vector<std::string> m_arguments;
        int m_nExit;
        std::string m_strErr;
    };
    m_scratch.WriteFile("bad.srec", "S1130000FF\nS9030000FC\n");
    ASSERT_EQ(::mkfifo(m_scratch.Path("fifo").c_str(), 0600), 0);
    const CFailure FAILURES[] = {
        {{"--convert", "bad.srec", "-o", "none.bin"}, 25, "bad.srec: line 1: the record's length"},
        {{"--convert", "missing.elf", "-o", "none.bin"}, 25, "cannot read missing.elf"},
        {{"--convert", "lma.elf", "-o", "no/such/dir/none.bin"}, 73, "cannot write no/such/dir"},
        {{"--convert", "lma.elf", "-o", "fifo", "--timeout", "300"}, 73, "nobody opened the FIFO"},
        {{"--base", "0x08004000", "--convert", "lma.elf", "-o", "none.bin"},
         25,
         "starts at 0x08000000, not at 0x08004000"},
        {{"--base", "0x08000000", "--convert", "app.elf", "-o", "none.bin"},
         25,
         "starts at 0x08000800, not at 0x08000000"},
        {{"--convert", "lma.elf"}, 64, "--convert needs -o OUT"},
    };
    for (const CFailure& row : FAILURES)
    {
        SCOPED_TRACE(testing::PrintToString(row.m_arguments));
        const CProcessResult result = Run(row.m_arguments);
        EXPECT_EQ(result.m_nExitCode, row.m_nExit);
        EXPECT_NE(result.m_strErr.find(row.m_strErr), std::string::npos) << result.m_strErr;
        EXPECT_FALSE(std::filesystem::exists(m_scratch.Path("none.bin")));
        EXPECT_FALSE(std::filesystem::exists(m_scratch.Path("none.bin.part")));
    }
}
} // namespace

// A file larger than the memory the program may take ends with 25 and a reason, not an abort.
TEST(ImageMemoryTest, FileLargerThanMemoryIsRefusedWithExitCode25)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the address sanitizer needs more address space than the limit leaves";
#else
    CScratch scratch;
    const std::string strBig = scratch.Path("big.bin");
    {
        std::ofstream file(strBig, std::ios::binary);
    }
    ASSERT_EQ(truncate(strBig.c_str(), 2LL << 30), 0); // sparse: 2 GiB
    const std::vector<std::vector<std::string>> RUNS = {
        {"--headless", "--wait", "1", "big.bin"},
        {"--convert", "big.bin", "-o", "flat.bin"},
    };
    for (const std::vector<std::string>& arguments : RUNS)
    {
        SCOPED_TRACE(testing::PrintToString(arguments));
        // About 1 GB of address space: enough to start, too little for the file.
        std::vector<std::string> argv = {"/bin/sh", "-c", "ulimit -v 1000000 && exec \"$0\" \"$@\"",
                                         ProgramPath()};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        CChildProcess process;
        ASSERT_TRUE(process.Start(argv, scratch.Environment(), scratch.m_strRoot));
        const CProcessResult result = process.Wait(std::chrono::seconds(20));
        EXPECT_EQ(result.m_nExitCode, 25) << result.m_strErr;
        EXPECT_NE(result.m_strErr.find("not enough memory to hold the file"), std::string::npos)
            << result.m_strErr;
        EXPECT_FALSE(std::filesystem::exists(scratch.Path("flat.bin")));
    }
#endif
}
