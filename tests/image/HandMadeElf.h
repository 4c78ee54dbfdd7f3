#pragma once
// Hand-made 32-bit little-endian ARM ELF executables for the image tests, with section headers
// or without. Sections that a segment holds lie in the file as their addresses lie in the
// segment, the padding between them zero, as ld writes them. The constants have names of
// their own so that <elf.h> may be included beside this.

#include <cstdint>
#include <string>
#include <vector>

namespace HandMadeElf
{
enum : uint32_t
{
    SECTION_PROGBITS = 1,
    SECTION_NOBITS = 8,
    FLAG_WRITE = 0x1,
    FLAG_ALLOC = 0x2,
    FLAG_EXEC = 0x4,
    SEGMENT_LOAD = 1,
};

// Where the header's fields and the section headers lie, for tests that damage them.
constexpr size_t HEADER_SHOFF = 32;
constexpr size_t HEADER_SHENTSIZE = 46;
constexpr size_t HEADER_SHNUM = 48;
constexpr size_t HEADER_SHSTRNDX = 50;
constexpr size_t SECTION_HEADER_SIZE = 40;
} // namespace HandMadeElf

struct CElfSection
{
    std::string m_strName;
    uint32_t m_nType = HandMadeElf::SECTION_PROGBITS;
    uint32_t m_nFlags = HandMadeElf::FLAG_ALLOC;
    uint32_t m_nAddress = 0;
    std::vector<uint8_t> m_data; // the contents; of a SECTION_NOBITS section only its size counts
    int m_nSegment = -1;         // the segment whose file bytes hold it, or none
};

struct CElfSegment
{
    uint32_t m_nLoadAddress = 0; // p_paddr; p_vaddr is its first section's address
    uint32_t m_nType = HandMadeElf::SEGMENT_LOAD;
};

struct CElfFile
{
    uint16_t m_nType = 2; // ET_EXEC
    std::vector<CElfSegment> m_segments;
    std::vector<CElfSection> m_sections;
    bool m_bSectionHeaders = true;

    std::vector<uint8_t> Bytes() const;
};

uint32_t Get32(const std::vector<uint8_t>& bytes, size_t nAt);
void Put32(std::vector<uint8_t>& bytes, size_t nAt, uint32_t nValue);
void Put16(std::vector<uint8_t>& bytes, size_t nAt, uint16_t nValue);
// Where section header nIndex of a file that Bytes() made lies.
size_t SectionHeaderAt(const std::vector<uint8_t>& bytes, size_t nIndex);
