// The flat image of firmware files against objcopy's, the records and headers that must be
// refused, and what passes through untouched.

#include "image/FirmwareImage.h"

#include "app/QuillonApp.h"
#include "image/FirmwareToolchain.h"
#include "image/HandMadeElf.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <elf.h>
#include <fstream>
#include <map>

namespace
{
std::vector<uint8_t> Bytes(const std::string& str)
{
    return std::vector<uint8_t>(str.begin(), str.end());
}

std::string HexPairs(const std::vector<uint8_t>& bytes)
{
    std::string strText;
    char szPair[3];
    for (uint8_t n : bytes)
    {
        std::snprintf(szPair, sizeof szPair, "%02X", n);
        strText += szPair;
    }
    return strText;
}

// One Intel HEX record with its checksum.
std::string HexRecord(uint8_t nType, uint16_t nOffset, const std::vector<uint8_t>& data)
{
    std::vector<uint8_t> record = {static_cast<uint8_t>(data.size()),
                                   static_cast<uint8_t>(nOffset >> 8),
                                   static_cast<uint8_t>(nOffset), nType};
    record.insert(record.end(), data.begin(), data.end());
    unsigned nSum = 0;
    for (uint8_t n : record)
    {
        nSum += n;
    }
    record.push_back(static_cast<uint8_t>(0x100 - (nSum & 0xFF)));
    return ":" + HexPairs(record) + "\n";
}

const std::string HEX_END = ":00000001FF\n";

std::string HexLinear(uint16_t nUpper)
{
    return HexRecord(0x04, 0, {static_cast<uint8_t>(nUpper >> 8), static_cast<uint8_t>(nUpper)});
}

// One S-record of type nType (1, 2, 3: 2, 3, 4 address bytes) with its checksum.
std::string SRecord(int nType, uint32_t nAddress, const std::vector<uint8_t>& data)
{
    const std::map<int, int> ADDRESS_BYTES = {{0, 2}, {1, 2}, {2, 3}, {3, 4}, {5, 2},
                                              {6, 3}, {7, 4}, {8, 3}, {9, 2}};
    const int nAddressBytes = ADDRESS_BYTES.at(nType);
    std::vector<uint8_t> record = {static_cast<uint8_t>(nAddressBytes + data.size() + 1)};
    for (int n = nAddressBytes - 1; n >= 0; --n)
    {
        record.push_back(static_cast<uint8_t>(nAddress >> (8 * n)));
    }
    record.insert(record.end(), data.begin(), data.end());
    unsigned nSum = 0;
    for (uint8_t n : record)
    {
        nSum += n;
    }
    record.push_back(static_cast<uint8_t>(~nSum));
    return "S" + std::to_string(nType) + HexPairs(record) + "\n";
}

const std::string S9_END = SRecord(9, 0, {});

// A segment of a hand-made ELF file: its load address and contents; nFileSize overrides the
// size the header claims.
struct CSegment
{
    uint32_t m_nPaddr;
    std::vector<uint8_t> m_data;
    uint32_t m_nType = PT_LOAD;
    int64_t m_nFileSize = -1;
};

void Put(std::vector<uint8_t>& bytes, size_t nOffset, uint64_t nValue, size_t nSize, bool bBig)
{
    for (size_t n = 0; n < nSize; ++n)
    {
        const size_t nShift = 8 * (bBig ? nSize - 1 - n : n);
        bytes[nOffset + n] = static_cast<uint8_t>(nValue >> nShift);
    }
}

// A 32-bit (or 64-bit, without segments) ELF executable with program headers only.
std::vector<uint8_t> MakeElf(uint16_t nMachine, const std::vector<CSegment>& segments,
                             uint8_t nClass = ELFCLASS32, uint8_t nData = ELFDATA2LSB)
{
    const bool bBig = nData == ELFDATA2MSB;
    const bool b64 = nClass == ELFCLASS64;
    const size_t nHeader = b64 ? sizeof(Elf64_Ehdr) : sizeof(Elf32_Ehdr);
    const size_t nPhdr = sizeof(Elf32_Phdr);
    std::vector<uint8_t> bytes(nHeader + nPhdr * segments.size(), 0);
    std::memcpy(bytes.data(), ELFMAG, SELFMAG);
    bytes[EI_CLASS] = nClass;
    bytes[EI_DATA] = nData;
    bytes[EI_VERSION] = EV_CURRENT;
    Put(bytes, 16, ET_EXEC, 2, bBig);
    Put(bytes, 18, nMachine, 2, bBig);
    Put(bytes, 20, EV_CURRENT, 4, bBig);
    if (b64)
    {
        Put(bytes, 52, nHeader, 2, bBig);
        return bytes;
    }
    Put(bytes, 28, segments.empty() ? 0 : nHeader, 4, bBig); // e_phoff
    Put(bytes, 40, nHeader, 2, bBig);                        // e_ehsize
    Put(bytes, 42, nPhdr, 2, bBig);                          // e_phentsize
    Put(bytes, 44, segments.size(), 2, bBig);                // e_phnum
    for (size_t n = 0; n < segments.size(); ++n)
    {
        const CSegment& segment = segments[n];
        const size_t nAt = nHeader + n * nPhdr;
        const uint64_t nFileSize = segment.m_nFileSize >= 0
                                       ? static_cast<uint64_t>(segment.m_nFileSize)
                                       : segment.m_data.size();
        Put(bytes, nAt + 0, segment.m_nType, 4, bBig);
        Put(bytes, nAt + 4, bytes.size(), 4, bBig);                // p_offset
        Put(bytes, nAt + 8, 0x20000000u + n * 0x1000, 4, bBig);    // p_vaddr: not used
        Put(bytes, nAt + 12, segment.m_nPaddr, 4, bBig);           // p_paddr
        Put(bytes, nAt + 16, nFileSize, 4, bBig);                  // p_filesz
        Put(bytes, nAt + 20, segment.m_data.size() + 16, 4, bBig); // p_memsz
        bytes.insert(bytes.end(), segment.m_data.begin(), segment.m_data.end());
    }
    return bytes;
}

CFirmwareImage Convert(const std::vector<uint8_t>& bytes, CImageOptions options = {})
{
    return ConvertFirmware(bytes, options);
}

CImageOptions BaseAt(uint32_t nBase)
{
    CImageOptions options;
    options.m_bBaseSet = true;
    options.m_nBase = nBase;
    return options;
}

// Real firmware, built once for all tests of this program.
class FirmwareBuild
{
public:
    static const CBuiltFirmware* Get(const std::string& strLayout, std::string& strError)
    {
        return Get(
            strLayout,
            [&](const std::string& strDir, CBuiltFirmware& built)
            { return BuildFirmware(strLayout, strDir, built, s_errors[strLayout]); },
            strError);
    }

    static const CBuiltFirmware* Get(const CFirmwareRecipe& recipe, std::string& strError)
    {
        const std::string strName = recipe.m_pszName;
        return Get(
            strName,
            [&](const std::string& strDir, CBuiltFirmware& built)
            { return BuildFirmware(recipe, strDir, built, s_errors[strName]); },
            strError);
    }

private:
    static inline std::map<std::string, std::string> s_errors;

    template <typename FBuild>
    static const CBuiltFirmware* Get(const std::string& strName, FBuild fnBuild,
                                     std::string& strError)
    {
        static CImageTempDir s_dir;
        static std::map<std::string, CBuiltFirmware> s_built;
        if (!s_built.count(strName) && !s_errors.count(strName))
        {
            CBuiltFirmware built;
            if (fnBuild(s_dir.Path(), built))
            {
                s_built[strName] = built;
                s_errors.erase(strName);
            }
        }
        if (s_errors.count(strName))
        {
            strError = s_errors[strName];
            return nullptr;
        }
        return &s_built[strName];
    }
};

struct CObjcopyCase
{
    const char* m_pszLayout; // firmware/<layout>.ld, or "example" for examples/blinky
    EFirmwareFormat m_format;
    uint8_t m_nGapFill;
    uint32_t m_nStart; // where the layout puts flash
};

TEST(FirmwareImageTest, FlatImageIsObjcopysForEachFormat)
{
    // "lma": .data runs in RAM but loads from flash after the code; "gap": a settings block
    // 0x1000 bytes in, erased flash between.
    const CObjcopyCase CASES[] = {
        {"lma", EFirmwareFormat::ELF, 0xFF, 0x08000000},
        {"lma", EFirmwareFormat::INTEL_HEX, 0xFF, 0x08000000},
        {"lma", EFirmwareFormat::SRECORD, 0xFF, 0x08000000},
        {"gap", EFirmwareFormat::ELF, 0xFF, 0},
        {"gap", EFirmwareFormat::INTEL_HEX, 0xFF, 0},
        {"gap", EFirmwareFormat::SRECORD, 0xFF, 0},
        {"gap", EFirmwareFormat::ELF, 0x00, 0},
        {"gap", EFirmwareFormat::SRECORD, 0x5A, 0},
        {"example", EFirmwareFormat::ELF, 0xFF, 0x08000000},
        {"example", EFirmwareFormat::INTEL_HEX, 0xFF, 0x08000000},
    };
    for (const CObjcopyCase& row : CASES)
    {
        SCOPED_TRACE(std::string(row.m_pszLayout) + " as " + FormatName(row.m_format));
        std::string strInput;
        const std::string strExample = std::string(QUILLON_SOURCE_DIR) + "/examples/blinky";
        std::string strError;
        const CBuiltFirmware* pBuilt = nullptr;
        if (std::string(row.m_pszLayout) != "example")
        {
            pBuilt = FirmwareBuild::Get(row.m_pszLayout, strError);
            ASSERT_NE(pBuilt, nullptr) << strError;
        }
        const char* pszObjcopyFormat = "elf32-littlearm";
        switch (row.m_format)
        {
        case EFirmwareFormat::ELF:
            strInput = pBuilt ? pBuilt->m_strElf : strExample + ".elf";
            break;
        case EFirmwareFormat::INTEL_HEX:
            strInput = pBuilt ? pBuilt->m_strHex : strExample + ".hex";
            pszObjcopyFormat = "ihex";
            break;
        default:
            strInput = pBuilt->m_strSrec;
            pszObjcopyFormat = "srec";
            break;
        }
        std::vector<uint8_t> expected;
        ASSERT_TRUE(
            ObjcopyFlatImage(strInput, pszObjcopyFormat, row.m_nGapFill, expected, strError))
            << strError;

        CImageOptions options;
        options.m_nGapFill = row.m_nGapFill;
        const CFirmwareImage image = Convert(ReadFileBytes(strInput), options);
        ASSERT_TRUE(image.m_bOk) << image.m_strError;
        EXPECT_EQ(image.m_format, row.m_format);
        EXPECT_EQ(image.m_nStartAddress, row.m_nStart);
        EXPECT_EQ(image.m_data.size(), expected.size());
        EXPECT_TRUE(image.m_data == expected) << "the flat image differs from objcopy's";
    }
}

// Firmware built the ways projects build it: the flat image must be objcopy's to the byte, with
// the erased-flash fill and another, and start where the vector table is (so --base takes it).
struct CLayoutCase
{
    CFirmwareRecipe m_recipe;
    uint32_t m_nStart;
};

// An IDE-style script (app.ld) with flash at ORIGIN, newlib-nano and the stub system calls.
#define APP_AT(ORIGIN, EXTRA)                                                                      \
    "--specs=nano.specs --specs=nosys.specs -T @/app.ld -Wl,--defsym=FLASH_ORIGIN=" ORIGIN " " EXTRA

const CLayoutCase LAYOUTS[] = {
    // After a 2 KiB, 512-byte or 6 KiB bootloader: ld's paged link puts the ELF and program
    // headers into the first segment, in front of the vectors.
    {{"AppAfter2KiBBootloader", "app.c", APP_AT("0x08000800", "")}, 0x08000800},
    {{"AppAfter512ByteBootloader", "app.c", APP_AT("0x08000200", "")}, 0x08000200},
    {{"AppAfter6KiBBootloader", "app.c", APP_AT("0x08001800", "")}, 0x08001800},
    // At the start of flash: no headers, but padding before the 256-byte aligned table.
    {{"AppAtFlashStart", "app.c", APP_AT("0x08000000", "")}, 0x08000000},
    {{"AppWith64KiBPages", "app.c", APP_AT("0x08004000", "-Wl,-z,max-page-size=0x10000")},
     0x08004000},
    {{"AppNmagic", "app.c", APP_AT("0x08000000", "-Wl,--nmagic")}, 0x08000000},
    {{"AppOmagic", "app.c", APP_AT("0x08000800", "-Wl,--omagic")}, 0x08000800},
    // The build id note is placed before the vectors by ld; objcopy keeps it there.
    {{"AppWithBuildId", "app.c", APP_AT("0x08000000", "-Wl,--build-id")}, 0x08000000},
    // newlib's own layout, no script: crt0 at 0x8000, .init/.fini padding.
    {{"NewlibDefaultLayout", "app.c", "--specs=nosys.specs"}, 0x8000},
    // C++ with exceptions: .ARM.extab, .ARM.exidx, constructors, libstdc++'s 32-byte alignment.
    {{"CxxWithExceptionTables", "app.cpp", APP_AT("0x08000000", "")}, 0x08000000},
    {{"CxxAfter2KiBBootloader", "app.cpp", APP_AT("0x08000800", "")}, 0x08000800},
    {{"CxxNewlibDefaultLayout", "app.cpp", "--specs=nosys.specs"}, 0x8000},
};

class ToolchainLayoutTest : public ::testing::TestWithParam<CLayoutCase>
{
};

TEST_P(ToolchainLayoutTest, FlatImageIsObjcopysWithAnyFill)
{
    const CLayoutCase& row = GetParam();
    std::string strError;
    const CBuiltFirmware* pBuilt = FirmwareBuild::Get(row.m_recipe, strError);
    ASSERT_NE(pBuilt, nullptr) << strError;
    for (const uint8_t nFill : {uint8_t{0xFF}, uint8_t{0x5A}})
    {
        SCOPED_TRACE("gap fill " + std::to_string(nFill));
        std::vector<uint8_t> expected;
        ASSERT_TRUE(
            ObjcopyFlatImage(pBuilt->m_strElf, "elf32-littlearm", nFill, expected, strError))
            << strError;
        CImageOptions options = BaseAt(row.m_nStart);
        options.m_nGapFill = nFill;
        const CFirmwareImage image = Convert(ReadFileBytes(pBuilt->m_strElf), options);
        ASSERT_TRUE(image.m_bOk) << image.m_strError;
        EXPECT_EQ(image.m_nStartAddress, row.m_nStart);
        EXPECT_FALSE(image.m_bFromSegments);
        EXPECT_EQ(image.m_data.size(), expected.size());
        EXPECT_TRUE(image.m_data == expected) << "the flat image differs from objcopy's";
    }
}

INSTANTIATE_TEST_SUITE_P(Layouts, ToolchainLayoutTest, ::testing::ValuesIn(LAYOUTS),
                         [](const auto& info)
                         { return std::string(info.param.m_recipe.m_pszName); });

// Shapes the toolchain makes rarely, against objcopy: which sections count and where they load.
struct CShapeCase
{
    const char* m_pszName;
    CElfFile m_elf;
    uint32_t m_nStart;
};

TEST(FirmwareImageTest, SectionShapesLoadWhereObjcopyLoadsThem)
{
    using namespace HandMadeElf;
    const std::vector<uint8_t> CODE = {1, 2, 3, 4, 5, 6};
    const CShapeCase CASES[] = {
        {"padding between sections of one segment gets the fill",
         {2,
          {{0x08000000}},
          {{".text", 1, 6, 0x08000000, CODE, 0}, {".rodata", 1, 2, 0x08000100, {7}, 0}}},
         0x08000000},
        {"data runs in RAM and loads after the code",
         {2,
          {{0x08000000}, {0x08000008}},
          {{".text", 1, 6, 0x08000000, CODE, 0}, {".data", 1, 3, 0x20000000, {8, 9}, 1}}},
         0x08000000},
        {"a section outside every segment loads at its own address",
         {2,
          {{0x08000000}},
          {{".text", 1, 6, 0x08000000, CODE, 0}, {".extra", 1, 2, 0x08000020, {7}}}},
         0x08000000},
        {"segments that all say load address 0: sections at their own addresses",
         {2, {{0}, {0}}, {{".text", 1, 6, 0x100, CODE, 0}, {".data", 1, 3, 0x200, {8}, 1}}},
         0x100},
        {"an empty section below the code starts the image",
         {2,
          {{0x08000100}},
          {{".empty", 1, 2, 0x08000000, {}}, {".text", 1, 6, 0x08000100, CODE, 0}}},
         0x08000000},
        {"an empty section past the data ends the image",
         {2,
          {{0x08000000}},
          {{".text", 1, 6, 0x08000000, CODE, 0}, {".tail", 1, 2, 0x08000040, {}}}},
         0x08000000},
        {"bss, unallocated and empty sections at the end stay out",
         {2,
          {{0x08000000}},
          {{".text", 1, 6, 0x08000000, CODE, 0},
           {".bss", SECTION_NOBITS, 3, 0x08000010, std::vector<uint8_t>(64), 0},
           {".comment", 1, 0, 0x08000100, {'g', 'c', 'c'}},
           {".init_array", 1, 3, 0x08000006, {}}}},
         0x08000000},
    };
    for (const CShapeCase& row : CASES)
    {
        SCOPED_TRACE(row.m_pszName);
        const CImageTempDir dir;
        const std::string strPath = dir.Path() + "/shape.elf";
        const std::vector<uint8_t> bytes = row.m_elf.Bytes();
        std::ofstream(strPath, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<long>(bytes.size()));
        for (const uint8_t nFill : {uint8_t{0xFF}, uint8_t{0x00}})
        {
            std::vector<uint8_t> expected;
            std::string strError;
            ASSERT_TRUE(ObjcopyFlatImage(strPath, "elf32-littlearm", nFill, expected, strError))
                << strError;
            CImageOptions options;
            options.m_nGapFill = nFill;
            const CFirmwareImage image = Convert(bytes, options);
            ASSERT_TRUE(image.m_bOk) << image.m_strError;
            EXPECT_EQ(image.m_nStartAddress, row.m_nStart);
            EXPECT_TRUE(image.m_data == expected)
                << "the flat image differs from objcopy's (" << expected.size() << " bytes)";
        }
    }
}

// Records and headers that make a valid image, with the image they make.
struct CGoodCase
{
    const char* m_pszName;
    std::vector<uint8_t> m_input;
    EFirmwareFormat m_format;
    uint32_t m_nStart;
    std::vector<uint8_t> m_image;
    size_t m_nParts;
};

TEST(FirmwareImageTest, RecordsAndSegmentsLandAtTheirAddresses)
{
    const CGoodCase CASES[] = {
        {"hex extended segment address",
         Bytes(HexRecord(0x02, 0, {0x10, 0x00}) + HexRecord(0x00, 0x0010, {1, 2}) + HEX_END),
         EFirmwareFormat::INTEL_HEX,
         0x10010,
         {1, 2},
         1},
        {"hex linear address, start address records, a gap",
         Bytes(HexLinear(0x0800) + HexRecord(0x00, 0x0000, {1, 2}) +
               HexRecord(0x05, 0, {8, 0, 0, 1}) + HexRecord(0x03, 0, {0, 0, 0, 0}) +
               HexRecord(0x00, 0x0004, {3}) + HEX_END),
         EFirmwareFormat::INTEL_HEX,
         0x08000000,
         {1, 2, 0xFF, 0xFF, 3},
         2},
        {"hex records out of order, CRLF, blank line, lower case, data after the end",
         Bytes(":0100020033CA\r\n\r\n:020000001122cb\r\n" + HEX_END + "junk"),
         EFirmwareFormat::INTEL_HEX,
         0,
         {0x11, 0x22, 0x33},
         2},
        {"hex segment and linear addresses add up, as objcopy reads them",
         Bytes(HexRecord(0x02, 0, {0x10, 0x00}) + HexLinear(0x0001) + HexRecord(0x00, 0x0010, {1}) +
               HEX_END),
         EFirmwareFormat::INTEL_HEX,
         0x20010,
         {1},
         1},
        {"hex linear and segment addresses add up in the other order too",
         Bytes(HexLinear(0x0001) + HexRecord(0x02, 0, {0x10, 0x00}) + HexRecord(0x00, 0x0010, {1}) +
               HEX_END),
         EFirmwareFormat::INTEL_HEX,
         0x20010,
         {1},
         1},
        {"hex after blank lines",
         Bytes("\n  \r\n" + HexRecord(0x00, 0x0100, {7}) + HEX_END),
         EFirmwareFormat::INTEL_HEX,
         0x100,
         {7},
         1},
        {"srec after blank lines",
         Bytes("\n\n" + SRecord(1, 0x0100, {7}) + S9_END),
         EFirmwareFormat::SRECORD,
         0x100,
         {7},
         1},
        {"hex record across a 64 KiB boundary",
         Bytes(HexRecord(0x00, 0xFFFF, {7, 8}) + HEX_END),
         EFirmwareFormat::INTEL_HEX,
         0xFFFF,
         {7, 8},
         1},
        {"hex last byte of the address space",
         Bytes(HexLinear(0xFFFF) + HexRecord(0x00, 0xFFFF, {9}) + HEX_END),
         EFirmwareFormat::INTEL_HEX,
         0xFFFFFFFF,
         {9},
         1},
        {"S1, S2, S3 with header and count",
         Bytes(SRecord(0, 0, {'h', 'i'}) + SRecord(1, 0x0100, {1}) + SRecord(2, 0x000102, {2}) +
               SRecord(3, 0x00000104, {4}) + SRecord(5, 3, {}) + S9_END),
         EFirmwareFormat::SRECORD,
         0x100,
         {1, 0xFF, 2, 0xFF, 4},
         3},
        {"S3 ends with S7",
         Bytes(SRecord(3, 0x08000000, {5, 6}) + SRecord(7, 0x08000000, {})),
         EFirmwareFormat::SRECORD,
         0x08000000,
         {5, 6},
         1},
        {"hex after a UTF-8 byte-order mark, indented, after blank lines",
         Bytes("\xEF\xBB\xBF\n  " + HexRecord(0x00, 0x0100, {7}) + "\t" + HEX_END),
         EFirmwareFormat::INTEL_HEX,
         0x100,
         {7},
         1},
        {"srec in lower case after a UTF-8 byte-order mark",
         Bytes("\xEF\xBB\xBF" + SRecord(1, 0x0100, {0xAB}) + "s9030000fc\n"),
         EFirmwareFormat::SRECORD,
         0x100,
         {0xAB},
         1},
        {"elf: an empty section inside the code does not overwrite it with the fill",
         CElfFile{2,
                  {{0x08000000}},
                  {{".text", 1, 6, 0x08000000, {1, 2, 3, 4}, 0},
                   {".marker", 1, 2, 0x08000002, {}},
                   {".rodata", 1, 2, 0x08000008, {7}}}}
             .Bytes(),
         EFirmwareFormat::ELF,
         0x08000000,
         {1, 2, 3, 4, 0xFF, 0xFF, 0xFF, 0xFF, 7},
         2},
        {"elf without section headers: segments by load address, empty and non-load ones left out",
         MakeElf(EM_ARM, {{0x08000010, {3, 4}},
                          {0x08000000, {1, 2}},
                          {0x08000020, {}},
                          {0x00000000, {9, 9}, PT_NOTE}}),
         EFirmwareFormat::ELF,
         0x08000000,
         {1, 2, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
          3, 4},
         2},
    };
    for (const CGoodCase& row : CASES)
    {
        SCOPED_TRACE(row.m_pszName);
        const CFirmwareImage image = Convert(row.m_input);
        EXPECT_EQ(image.m_bFromSegments,
                  std::string(row.m_pszName).find("without section headers") != std::string::npos);
        ASSERT_TRUE(image.m_bOk) << image.m_strError;
        EXPECT_EQ(image.m_format, row.m_format);
        EXPECT_EQ(image.m_nStartAddress, row.m_nStart);
        EXPECT_EQ(image.m_data, row.m_image);
        EXPECT_EQ(image.m_nParts, row.m_nParts);
    }
}

// Files that must not reach a board, each with the words that say where and why.
struct CBadCase
{
    const char* m_pszName;
    std::vector<uint8_t> m_input;
    EFirmwareFormat m_format;
    std::string m_strError;
    CImageOptions m_options = {};
};

CImageOptions MaxSize(uint64_t nMaxSize)
{
    CImageOptions options;
    options.m_nMaxSize = nMaxSize;
    return options;
}

// Text as Windows editors save "Unicode": UTF-16, little-endian, with its byte-order mark.
std::vector<uint8_t> Utf16(const std::string& strText, bool bMark = true)
{
    std::vector<uint8_t> bytes;
    if (bMark)
    {
        bytes = {0xFF, 0xFE};
    }
    for (char c : strText)
    {
        bytes.push_back(static_cast<uint8_t>(c));
        bytes.push_back(0);
    }
    return bytes;
}

std::vector<uint8_t> SectionPastTheEnd()
{
    std::vector<uint8_t> bytes =
        CElfFile{2, {{0x08000000}}, {{".text", 1, 6, 0x08000000, {1, 2}, 0}}}.Bytes();
    Put32(bytes, SectionHeaderAt(bytes, 1) + 20, 0x10000); // sh_size
    return bytes;
}

TEST(FirmwareImageTest, FaultyFilesAreRefusedNamingTheLineOrSection)
{
    std::string strBadChecksum = HexRecord(0x00, 0x0010, {1, 2, 3});
    strBadChecksum[strBadChecksum.size() - 2] ^= 1;
    std::string strBadSChecksum = SRecord(1, 0x0010, {1, 2, 3});
    strBadSChecksum[strBadSChecksum.size() - 2] ^= 1;
    const CBadCase CASES[] = {
        {"hex checksum", Bytes(HexRecord(0x00, 0, {0}) + strBadChecksum + HEX_END),
         EFirmwareFormat::INTEL_HEX, "line 2: checksum error"},
        {"hex checksum of the first line", Bytes(strBadChecksum + HEX_END),
         EFirmwareFormat::INTEL_HEX, "line 1: checksum error"},
        {"hex overlap",
         Bytes(HexRecord(0x00, 0x0000, {1, 2, 3, 4}) + HexRecord(0x00, 0x0008, {5}) +
               HexRecord(0x00, 0x0003, {6}) + HEX_END),
         EFirmwareFormat::INTEL_HEX,
         "line 3 loads 0x00000003\xE2\x80\x93"
         "0x00000003, overlapping line 1"},
        {"hex record past 4 GiB",
         Bytes(HexLinear(0xFFFF) + HexRecord(0x00, 0xFFFF, {1, 2}) + HEX_END),
         EFirmwareFormat::INTEL_HEX, "line 2: the record's bytes at 0xFFFFFFFF reach past 4 GiB"},
        {"hex image longer than 32 bits",
         Bytes(HexRecord(0x00, 0, {1}) + HexLinear(0xFFFF) + HexRecord(0x00, 0xFFFF, {2}) +
               HEX_END),
         EFirmwareFormat::INTEL_HEX, "would be 4294967296 bytes"},
        {"hex cut short", Bytes(HexRecord(0x00, 0, {1, 2})), EFirmwareFormat::INTEL_HEX,
         "no end-of-file record"},
        {"hex first line cut short", Bytes(":0500000001FA\n" + HEX_END), EFirmwareFormat::INTEL_HEX,
         "line 1: the record's length does not match"},
        {"hex line cut short", Bytes(HexRecord(0x00, 0, {1, 2}) + ":0300000001\n" + HEX_END),
         EFirmwareFormat::INTEL_HEX, "line 2: the record's length does not match"},
        {"hex unknown type", Bytes(HexRecord(0x00, 0, {1}) + HexRecord(0x06, 0, {}) + HEX_END),
         EFirmwareFormat::INTEL_HEX, "line 2: unknown record type 0x06"},
        {"hex stray line", Bytes(HexRecord(0x00, 0, {1}) + "hello\n" + HEX_END),
         EFirmwareFormat::INTEL_HEX, "line 2: not an Intel HEX record"},
        {"hex no data", Bytes(HexLinear(0x0800) + HEX_END), EFirmwareFormat::INTEL_HEX,
         "no data to load"},
        {"hex word-addressed", Bytes(":02000000AABBCCDDF0\n" + HEX_END), EFirmwareFormat::INTEL_HEX,
         "line 1: the record holds two bytes for each one its count says: word-addressed Intel "
         "HEX (INHX16)"},
        {"hex saved as UTF-16", Utf16(HexRecord(0x00, 0, {1}) + HEX_END),
         EFirmwareFormat::INTEL_HEX, "the file is UTF-16 text"},
        {"srec saved as UTF-16 without a byte-order mark",
         Utf16(SRecord(1, 0, {1}) + S9_END, false), EFirmwareFormat::SRECORD,
         "the file is UTF-16 text"},
        {"hex after a comment line", Bytes("# firmware 1.2\n" + HexRecord(0x00, 0, {1}) + HEX_END),
         EFirmwareFormat::INTEL_HEX, "line 1: not an Intel HEX record"},
        {"hex with words after the first record", Bytes(":0100000001FE junk\n" + HEX_END),
         EFirmwareFormat::INTEL_HEX, "line 1: not an Intel HEX record"},
        {"hex too short for a record", Bytes(":0011\n"), EFirmwareFormat::INTEL_HEX,
         "line 1: the record's length does not match"},
        {"hex with a letter that is no digit", Bytes(":00000001FG\n"), EFirmwareFormat::INTEL_HEX,
         "line 1: not an Intel HEX record"},
        {"hex of 48 bytes spanning 4 GiB",
         Bytes(HexRecord(0x00, 0, {1, 2, 3, 4}) + HexLinear(0xFFFF) +
               HexRecord(0x00, 0xFF00, {5, 6, 7, 8}) + HEX_END),
         EFirmwareFormat::INTEL_HEX,
         "the flat image would span 0x00000000\xE2\x80\x93"
         "0xFFFFFF03, 4294967044 bytes, more than 1 GiB;"},
        {"hex one byte wider than the span allowed",
         Bytes(HexRecord(0x00, 0, {1}) + HexRecord(0x00, 0x10, {2}) + HEX_END),
         EFirmwareFormat::INTEL_HEX, "17 bytes, more than 16 bytes", MaxSize(16)},
        {"srec too short for a record", Bytes("S9030000\n"), EFirmwareFormat::SRECORD,
         "line 1: the record's length does not match"},
        {"srec checksum", Bytes(SRecord(0, 0, {}) + strBadSChecksum + S9_END),
         EFirmwareFormat::SRECORD, "line 2: checksum error"},
        {"srec overlap",
         Bytes(SRecord(3, 0x08000000, {1, 2}) + SRecord(3, 0x08000001, {3}) + S9_END),
         EFirmwareFormat::SRECORD, "line 2 loads 0x08000001"},
        {"srec record past 4 GiB", Bytes(SRecord(3, 0xFFFFFFFE, {1, 2, 3}) + S9_END),
         EFirmwareFormat::SRECORD, "line 1: the record's bytes at 0xFFFFFFFE reach past 4 GiB"},
        {"srec cut short", Bytes(SRecord(1, 0, {1}) + SRecord(1, 1, {2})), EFirmwareFormat::SRECORD,
         "no termination record"},
        {"srec count wrong", Bytes(SRecord(1, 0, {1}) + SRecord(5, 2, {}) + S9_END),
         EFirmwareFormat::SRECORD, "line 2: the record count says 2 data records, but 1"},
        {"srec S4", Bytes(SRecord(1, 0, {1}) + "S4030000FC\n" + S9_END), EFirmwareFormat::SRECORD,
         "line 2: unknown record type S4"},
        {"elf for x86", MakeElf(EM_386, {{0, {1}}}), EFirmwareFormat::ELF,
         "a 32-bit ELF file for Intel 80386, machine type 3;"},
        {"elf for RISC-V", MakeElf(EM_RISCV, {{0, {1}}}), EFirmwareFormat::ELF,
         "ELF file for RISC-V, machine type 243;"},
        {"elf 64-bit", MakeElf(EM_AARCH64, {}, ELFCLASS64), EFirmwareFormat::ELF,
         "a 64-bit ELF file for AArch64 (64-bit ARM), machine type 183;"},
        {"elf big-endian ARM", MakeElf(EM_ARM, {{0, {1}}}, ELFCLASS32, ELFDATA2MSB),
         EFirmwareFormat::ELF, "a 32-bit big-endian ELF file for ARM, machine type 40;"},
        {"elf sections overlap",
         CElfFile{2,
                  {{0x08000000}},
                  {{".text", 1, 6, 0x08000000, {1, 2, 3, 4}, 0}, {".other", 1, 2, 0x08000002, {5}}}}
             .Bytes(),
         EFirmwareFormat::ELF,
         "section 2 (.other) loads 0x08000002\xE2\x80\x93"
         "0x08000002, overlapping section 1 (.text) at 0x08000000"},
        {"elf section past the end of the file", SectionPastTheEnd(), EFirmwareFormat::ELF,
         "section 1 (.text): its contents reach past the end of the file"},
        {"elf object file", CElfFile{1, {}, {{".text", 1, 6, 0, {1, 2}}}}.Bytes(),
         EFirmwareFormat::ELF, "a relocatable object file, not linked firmware"},
        {"elf with bss alone",
         CElfFile{
             2, {{0x20000000}}, {{".bss", HandMadeElf::SECTION_NOBITS, 3, 0x20000000, {0, 0}, 0}}}
             .Bytes(),
         EFirmwareFormat::ELF, "no allocated section with contents"},
        {"elf without section headers, segments overlapping",
         MakeElf(EM_ARM, {{0x08000000, {1, 2, 3, 4}}, {0x08000002, {5}}}), EFirmwareFormat::ELF,
         "segment 1 loads 0x08000002\xE2\x80\x93"
         "0x08000002, overlapping segment 0"},
        {"elf segment past the end of the file",
         MakeElf(EM_ARM, {{0x08000000, {1, 2}, PT_LOAD, 4096}}), EFirmwareFormat::ELF,
         "segment 0: its contents reach past the end of the file"},
        {"elf segment past 4 GiB", MakeElf(EM_ARM, {{0xFFFFFFFF, {1, 2}}}), EFirmwareFormat::ELF,
         "segment 0: its bytes at 0xFFFFFFFF reach past 4 GiB"},
        {"elf without loadable contents", MakeElf(EM_ARM, {{0x08000000, {}}}), EFirmwareFormat::ELF,
         "no loadable segment with contents"},
        {"elf header cut short after its identification",
         Bytes(std::string("\x7f"
                           "ELF\x01\x01\x01",
                           7) +
               std::string(9, '\0')),
         EFirmwareFormat::ELF, "the ELF header cannot be read"},
        {"base elsewhere", Bytes(SRecord(3, 0x08004000, {1}) + S9_END), EFirmwareFormat::SRECORD,
         "the image starts at 0x08004000, not at 0x08000000 as --base asks", BaseAt(0x08000000)},
    };
    for (const CBadCase& row : CASES)
    {
        SCOPED_TRACE(row.m_pszName);
        const CFirmwareImage image = Convert(row.m_input, row.m_options);
        EXPECT_FALSE(image.m_bOk);
        EXPECT_EQ(image.m_format, row.m_format);
        EXPECT_NE(image.m_strError.find(row.m_strError), std::string::npos) << image.m_strError;
        EXPECT_TRUE(image.m_data.empty());
    }
}

TEST(FirmwareImageTest, AnythingElseIsSentByteForByte)
{
    const std::vector<uint8_t> CASES[] = {
        {0x00, 0x10, 0x00, 0x20, 0x09, 0x00, 0x00, 0x00}, // a vector table
        Bytes(":) not a record\n"),
        Bytes("S1 is not a record\n"),
        Bytes(std::string("\0\n:10000000\n", 12)), // a record-like line, but not in text
        Utf16("Notes\n"),
        Bytes("Some notes\n"),
        Bytes("\x7f"
              "EL"),
        Bytes("\x7f"
              "ELF\x01\x01\x01"), // too short for an identification
        Bytes(std::string("\x7f"
                          "ELF image \0\x01\x02 with x and s",
                          27)), // the magic, then no ELF identification
        {0xFF},
    };
    for (const std::vector<uint8_t>& input : CASES)
    {
        const CFirmwareImage image = Convert(input, BaseAt(0x08000000));
        ASSERT_TRUE(image.m_bOk) << image.m_strError;
        EXPECT_EQ(image.m_format, EFirmwareFormat::BINARY);
        EXPECT_EQ(image.m_data, input);
    }
}

TEST(FirmwareImageTest, TheLineSaysFormatPartsRangeAndSize)
{
    struct CRow
    {
        EFirmwareFormat m_format;
        size_t m_nParts;
        uint32_t m_nStart;
        size_t m_nSize;
        const char* m_pszLine;
        bool m_bFromSegments = false;
    };
    const CRow ROWS[] = {
        {EFirmwareFormat::ELF, 5, 0x08000000, 41968,
         "fw: ELF, 5 sections, 0x08000000\xE2\x80\x93"
         "0x0800A3EF, 41968 bytes"},
        {EFirmwareFormat::ELF, 2, 0x08000000, 16,
         "fw: ELF, 2 segments (no section headers), 0x08000000\xE2\x80\x93"
         "0x0800000F, 16 bytes",
         true},
        {EFirmwareFormat::INTEL_HEX, 1, 0, 1,
         "fw: Intel HEX, 1 record, 0x00000000\xE2\x80\x93"
         "0x00000000, 1 bytes"},
        {EFirmwareFormat::SRECORD, 3, 0xFFFFFFF0, 16,
         "fw: S-record, 3 records, 0xFFFFFFF0\xE2\x80\x93"
         "0xFFFFFFFF, 16 bytes"},
        {EFirmwareFormat::BINARY, 1, 0, 28, "fw: binary, 28 bytes"},
    };
    for (const CRow& row : ROWS)
    {
        CFirmwareImage image;
        image.m_bOk = true;
        image.m_format = row.m_format;
        image.m_nParts = row.m_nParts;
        image.m_nStartAddress = row.m_nStart;
        image.m_bFromSegments = row.m_bFromSegments;
        image.m_data.resize(row.m_nSize);
        EXPECT_EQ(DescribeImage("fw", image), row.m_pszLine);
    }
}

TEST(ImageOptionsTest, GapFillBaseAndConvertFromTheCommandLine)
{
    struct CRow
    {
        std::vector<std::string> m_arguments;
        bool m_bOk;
        int m_nGapFill;  // -1: not looked at
        int64_t m_nBase; // -1: not set
        std::string m_strConvert;
        std::string m_strOutput;
        std::string m_strError;
        uint64_t m_nMaxSize = MAX_IMAGE_SPAN;
    };
    const CRow ROWS[] = {
        {{"fw.elf"}, true, 0xFF, -1, "", "", ""},
        {{"--gap-fill", "0", "fw.elf"}, true, 0x00, -1, "", "", ""},
        {{"--gap-fill=0xA5", "fw.elf"}, true, 0xA5, -1, "", "", ""},
        {{"--gap-fill", "255", "fw.elf"}, true, 0xFF, -1, "", "", ""},
        {{"--gap-fill", "256", "fw.elf"}, false, -1, -1, "", "", "--gap-fill needs a byte"},
        {{"--gap-fill", "0x1FF"}, false, -1, -1, "", "", "--gap-fill needs a byte"},
        {{"--gap-fill", "-1"}, false, -1, -1, "", "", "--gap-fill needs a byte"},
        {{"--gap-fill"}, false, -1, -1, "", "", "--gap-fill needs a value"},
        {{"--base", "0x08000000", "fw.hex"}, true, 0xFF, 0x08000000, "", "", ""},
        {{"--base=0XFFFFFFFF"}, true, 0xFF, 0xFFFFFFFF, "", "", ""},
        {{"--base", "134217728"}, true, 0xFF, 0x08000000, "", "", ""},
        {{"--base", "0x100000000"}, false, -1, -1, "", "", "--base needs an address"},
        {{"--base", "0x"}, false, -1, -1, "", "", "--base needs an address"},
        {{"--base", "0x8g"}, false, -1, -1, "", "", "--base needs an address"},
        {{"--allow-large-image", "fw.hex"}, true, 0xFF, -1, "", "", "", MAX_IMAGE_SIZE},
        {{"--allow-large-image=1"}, false, -1, -1, "", "", "--allow-large-image takes no value"},
        {{"--convert", "fw.elf", "-o", "fw.bin"}, true, 0xFF, -1, "fw.elf", "fw.bin", ""},
        {{"-o", "fw.bin", "--convert=fw.elf"}, true, 0xFF, -1, "fw.elf", "fw.bin", ""},
        {{"--convert", "fw.elf", "--output", "fw.bin"}, true, 0xFF, -1, "fw.elf", "fw.bin", ""},
        {{"--convert", "fw.elf"}, false, -1, -1, "", "", "--convert needs -o OUT"},
        {{"-o", "fw.bin", "fw.elf"}, false, -1, -1, "", "", "-o/--output goes with --convert"},
        {{"--convert", "fw.elf", "-o"}, false, -1, -1, "", "", "-o needs a value"},
    };
    for (const CRow& row : ROWS)
    {
        SCOPED_TRACE(testing::PrintToString(row.m_arguments));
        CProgramOptions options;
        std::string strError;
        std::string strWarning;
        ASSERT_EQ(TakeProgramOptions(row.m_arguments, options, strError, strWarning), row.m_bOk)
            << strError;
        EXPECT_EQ(strWarning, "");
        if (!row.m_bOk)
        {
            EXPECT_NE(strError.find(row.m_strError), std::string::npos) << strError;
            continue;
        }
        EXPECT_EQ(options.m_imageOptions.m_nGapFill, row.m_nGapFill);
        EXPECT_EQ(options.m_imageOptions.m_bBaseSet, row.m_nBase >= 0);
        if (row.m_nBase >= 0)
        {
            EXPECT_EQ(options.m_imageOptions.m_nBase, row.m_nBase);
        }
        EXPECT_EQ(options.m_imageOptions.m_nMaxSize, row.m_nMaxSize);
        EXPECT_EQ(options.m_strConvertFile, row.m_strConvert);
        EXPECT_EQ(options.m_strOutput, row.m_strOutput);
    }
}
} // namespace
