// ELF firmware through the converter on Windows, where a reader of our own stands in for
// libelf: both classes and byte orders are told apart, and every header that points outside
// the file is refused rather than read.

#include "image/FirmwareImage.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace
{
const std::vector<uint8_t> PAYLOAD = {0xDE, 0xAD, 0xBE, 0xEF, 0x01, 0x02};

void Put(std::vector<uint8_t>& file, size_t nAt, uint64_t nValue, unsigned nBytes, bool bBig)
{
    if (file.size() < nAt + nBytes)
    {
        file.resize(nAt + nBytes);
    }
    for (unsigned n = 0; n < nBytes; ++n)
    {
        const unsigned nShift = bBig ? 8 * (nBytes - 1 - n) : 8 * n;
        file[nAt + n] = static_cast<uint8_t>(nValue >> nShift);
    }
}

// A 32-bit ARM executable with one PT_LOAD segment holding PAYLOAD at 0x08000000.
struct CElf32
{
    bool m_bBigEndian = false;
    uint8_t m_nClass = 1;
    uint16_t m_nMachine = 40; // ARM
    uint32_t m_nPhoff = 52;
    uint16_t m_nPhentsize = 32;
    uint16_t m_nPhnum = 1;
    uint32_t m_nSegmentOffset = 52 + 32;
    // PN_XNUM: the count comes from section header 0 at the file's end.
    bool m_bCountInSection = false;

    std::vector<uint8_t> Bytes() const
    {
        std::vector<uint8_t> file = {
            0x7F, 'E', 'L', 'F', m_nClass, static_cast<uint8_t>(m_bBigEndian ? 2 : 1), 1};
        const bool b = m_bBigEndian;
        Put(file, 16, 2, 2, b); // ET_EXEC
        Put(file, 18, m_nMachine, 2, b);
        Put(file, 20, 1, 4, b);
        Put(file, 28, m_nPhoff, 4, b);
        Put(file, 40, 52, 2, b);
        Put(file, 42, m_nPhentsize, 2, b);
        Put(file, 44, m_bCountInSection ? 0xFFFF : m_nPhnum, 2, b);
        const size_t nPh = 52;
        Put(file, nPh + 0, 1, 4, b); // PT_LOAD
        Put(file, nPh + 4, m_nSegmentOffset, 4, b);
        Put(file, nPh + 8, 0x08000000, 4, b);
        Put(file, nPh + 12, 0x08000000, 4, b);
        Put(file, nPh + 16, PAYLOAD.size(), 4, b);
        Put(file, nPh + 20, PAYLOAD.size(), 4, b);
        file.resize(52 + 32);
        file.insert(file.end(), PAYLOAD.begin(), PAYLOAD.end());
        if (m_bCountInSection)
        {
            const size_t nShoff = file.size();
            Put(file, 32, nShoff, 4, b);
            Put(file, 46, 40, 2, b);
            Put(file, 48, 0, 2, b);
            Put(file, nShoff + 28, m_nPhnum, 4, b); // sh_info
            Put(file, nShoff + 39, 0, 1, b);
        }
        return file;
    }
};

TEST(ElfReaderTest, SegmentsAreReadOnlyFromInsideTheFile)
{
    struct CCase
    {
        const char* m_pszName;
        CElf32 m_elf;
        bool m_bOk;
        const char* m_pszErrorPart;
    };
    const auto With = [](auto fnChange)
    {
        CElf32 elf;
        fnChange(elf);
        return elf;
    };
    const CCase CASES[] = {
        {"plain", {}, true, ""},
        {"count_in_section_header", With([](CElf32& e) { e.m_bCountInSection = true; }), true, ""},
        {"big_endian_refused", With([](CElf32& e) { e.m_bBigEndian = true; }), false, "big-endian"},
        {"other_machine_named", With([](CElf32& e) { e.m_nMachine = 62; }), false, "x86-64"},
        {"headers_past_the_end", With([](CElf32& e) { e.m_nPhoff = 0x7FFFFFF0; }), false,
         "program headers"},
        {"too_many_headers", With([](CElf32& e) { e.m_nPhnum = 1000; }), false, "program headers"},
        {"wrong_header_size", With([](CElf32& e) { e.m_nPhentsize = 16; }), false,
         "program headers"},
        {"contents_past_the_end", With([](CElf32& e) { e.m_nSegmentOffset = 0xFFFFFFF0; }), false,
         "past the end"},
    };
    for (const CCase& row : CASES)
    {
        SCOPED_TRACE(row.m_pszName);
        const CFirmwareImage image = ConvertFirmware(row.m_elf.Bytes());
        EXPECT_EQ(image.m_format, EFirmwareFormat::ELF);
        EXPECT_EQ(image.m_bOk, row.m_bOk) << image.m_strError;
        if (row.m_bOk)
        {
            EXPECT_EQ(image.m_data, PAYLOAD);
        }
        else
        {
            EXPECT_NE(image.m_strError.find(row.m_pszErrorPart), std::string::npos)
                << image.m_strError;
        }
    }
}

TEST(ElfReaderTest, AShortOrForeignHeaderIsRefused)
{
    std::vector<uint8_t> cut = CElf32().Bytes();
    cut.resize(40);
    std::vector<uint8_t> wide = CElf32().Bytes();
    wide[4] = 2; // ELFCLASS64, but only a 32-bit header's bytes behind it
    wide.resize(60);
    for (const auto& bytes : {cut, wide})
    {
        const CFirmwareImage image = ConvertFirmware(bytes);
        EXPECT_FALSE(image.m_bOk);
        EXPECT_FALSE(image.m_strError.empty());
    }
}
} // namespace
