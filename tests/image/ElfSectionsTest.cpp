// ELF section headers as the converter reads them, through libelf here and through the reader
// of our own on Windows: the same file gives the same image or is refused, and nothing that
// points outside the file is read.

#include "image/FirmwareImage.h"
#include "image/HandMadeElf.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace
{
using namespace HandMadeElf;

// Code in flash, data in RAM loaded after it: the image is 01 02 03 04 FF FF 08 09.
CElfFile CodeAndData()
{
    return {2,
            {{0x08000000}, {0x08000006}},
            {{".text", SECTION_PROGBITS, FLAG_ALLOC | FLAG_EXEC, 0x08000000, {1, 2, 3, 4}, 0},
             {".data", SECTION_PROGBITS, FLAG_ALLOC | FLAG_WRITE, 0x20000000, {8, 9}, 1}}};
}

const std::vector<uint8_t> CODE_AND_DATA = {1, 2, 3, 4, 0xFF, 0xFF, 8, 9};

// The file with one change made to its bytes.
std::vector<uint8_t> Changed(const std::function<void(std::vector<uint8_t>&)>& fnChange)
{
    std::vector<uint8_t> bytes = CodeAndData().Bytes();
    fnChange(bytes);
    return bytes;
}

// Moves the section count and the names' index into section 0, as files with very many
// sections have them.
void CountsInSectionZero(std::vector<uint8_t>& bytes)
{
    // e_shnum, then e_shstrndx
    const uint32_t nCount = Get32(bytes, HEADER_SHNUM) & 0xFFFF;
    const uint32_t nNames = Get32(bytes, HEADER_SHNUM) >> 16;
    Put32(bytes, SectionHeaderAt(bytes, 0) + 20, nCount); // sh_size
    Put32(bytes, SectionHeaderAt(bytes, 0) + 24, nNames); // sh_link
    Put16(bytes, HEADER_SHNUM, 0);
    Put16(bytes, HEADER_SHSTRNDX, 0xFFFF);
}

TEST(ElfSectionsTest, SectionHeadersAreReadOnlyFromInsideTheFile)
{
    struct CCase
    {
        const char* m_pszName;
        std::vector<uint8_t> m_file;
        bool m_bOk;
        const char* m_pszErrorPart; // "" when any reason will do
    };
    const CCase CASES[] = {
        {"plain", CodeAndData().Bytes(), true, ""},
        {"counts in section 0", Changed(CountsInSectionZero), true, ""},
        {"headers past the end",
         Changed([](std::vector<uint8_t>& b) { Put32(b, HEADER_SHOFF, 0x7FFFFFF0); }), false,
         "the section headers lie past the end of the file"},
        {"file cut short in its headers",
         Changed([](std::vector<uint8_t>& b) { b.resize(b.size() - 1); }), false,
         "the section headers lie past the end of the file"},
        {"too many headers", Changed([](std::vector<uint8_t>& b) { Put16(b, HEADER_SHNUM, 900); }),
         false, "the section headers lie past the end of the file"},
        {"wrong header size",
         Changed([](std::vector<uint8_t>& b) { Put16(b, HEADER_SHENTSIZE, 20); }), false,
         "the section headers have the wrong size"},
        {"contents past the end",
         Changed([](std::vector<uint8_t>& b) { Put32(b, SectionHeaderAt(b, 2) + 16, 0xFFFFFFF0); }),
         false, "section 2 (.data): its contents reach past the end of the file"},
        {"contents longer than the file",
         Changed([](std::vector<uint8_t>& b) { Put32(b, SectionHeaderAt(b, 1) + 20, 0xFFFFFFF0); }),
         false, "section 1 (.text): its contents reach past the end of the file"},
    };
    for (const CCase& row : CASES)
    {
        SCOPED_TRACE(row.m_pszName);
        const CFirmwareImage image = ConvertFirmware(row.m_file);
        EXPECT_EQ(image.m_format, EFirmwareFormat::ELF);
        ASSERT_EQ(image.m_bOk, row.m_bOk) << image.m_strError;
        if (row.m_bOk)
        {
            EXPECT_EQ(image.m_data, CODE_AND_DATA);
            EXPECT_EQ(image.m_nStartAddress, 0x08000000u);
            EXPECT_EQ(image.m_nParts, 2u);
        }
        else
        {
            EXPECT_FALSE(image.m_strError.empty());
            EXPECT_NE(image.m_strError.find(row.m_pszErrorPart), std::string::npos)
                << image.m_strError;
        }
    }
}

TEST(ElfSectionsTest, ErrorsNameTheSectionWhenItsNameCanBeRead)
{
    // .data moved onto .text's load address: the error names both, or their numbers alone
    // when the names cannot be read.
    const auto Overlapping = [](const std::function<void(std::vector<uint8_t>&)>& fnChange)
    {
        CElfFile elf = CodeAndData();
        elf.m_segments[1].m_nLoadAddress = 0x08000002;
        std::vector<uint8_t> bytes = elf.Bytes();
        fnChange(bytes);
        return bytes;
    };
    struct CCase
    {
        const char* m_pszName;
        std::vector<uint8_t> m_file;
        const char* m_pszError;
    };
    const CCase CASES[] = {
        {"names", Overlapping([](std::vector<uint8_t>&) {}),
         "section 2 (.data) loads 0x08000002\xE2\x80\x93"
         "0x08000003, overlapping section 1 (.text) at"},
        {"names' index in section 0", Overlapping(CountsInSectionZero),
         "section 2 (.data) loads 0x08000002"},
        {"name past the names",
         Overlapping([](std::vector<uint8_t>& b) { Put32(b, SectionHeaderAt(b, 2), 0x10000); }),
         "section 2 loads 0x08000002"},
        {"names' index past the sections",
         Overlapping([](std::vector<uint8_t>& b) { Put16(b, HEADER_SHSTRNDX, 77); }),
         "section 2 loads 0x08000002"},
    };
    for (const CCase& row : CASES)
    {
        SCOPED_TRACE(row.m_pszName);
        const CFirmwareImage image = ConvertFirmware(row.m_file);
        EXPECT_FALSE(image.m_bOk);
        EXPECT_NE(image.m_strError.find(row.m_pszError), std::string::npos) << image.m_strError;
    }
}
} // namespace
