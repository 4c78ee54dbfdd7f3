// A small reader of ELF headers, program headers, section headers and string sections behind
// libelf's interface, for Windows, where elfutils does not build. Every offset and count is
// checked against the file's size before it is read.

#include "elf-windows/gelf.h"

#include <cstring>
#include <map>
#include <string>

struct Elf_Scn
{
    Elf* m_pElf = nullptr;
    size_t m_nIndex = 0;
};

struct Elf
{
    char* m_pImage = nullptr;
    const unsigned char* m_pData = nullptr;
    size_t m_nSize = 0;
    GElf_Ehdr m_header = {};
    // The handles elf_getscn gave out, kept where they are until elf_end.
    std::map<size_t, Elf_Scn> m_sections;
};

namespace
{
thread_local std::string t_strLastError;

const size_t ELF32_HEADER_SIZE = 52;
const size_t ELF64_HEADER_SIZE = 64;
const size_t ELF32_PHDR_SIZE = 32;
const size_t ELF64_PHDR_SIZE = 56;
const size_t ELF32_SHDR_SIZE = 40;
const size_t ELF64_SHDR_SIZE = 64;

template <typename T> T* Fail(const char* pszWhy)
{
    t_strLastError = pszWhy;
    return nullptr;
}

// Reads an unsigned field of nBytes at nOffset in the file's byte order; the caller has
// checked the bounds.
uint64_t Field(const Elf& elf, size_t nOffset, unsigned nBytes)
{
    uint64_t nValue = 0;
    const bool bBigEndian = elf.m_header.e_ident[EI_DATA] == ELFDATA2MSB;
    for (unsigned n = 0; n < nBytes; ++n)
    {
        const unsigned nShift = bBigEndian ? 8 * (nBytes - 1 - n) : 8 * n;
        nValue |= uint64_t{elf.m_pData[nOffset + n]} << nShift;
    }
    return nValue;
}

bool Is64(const Elf& elf)
{
    return elf.m_header.e_ident[EI_CLASS] == ELFCLASS64;
}

// Whether nCount entries of nEntrySize at nOffset lie inside the file.
bool Inside(const Elf& elf, uint64_t nOffset, uint64_t nCount, uint64_t nEntrySize)
{
    return nOffset <= elf.m_nSize && nCount <= (elf.m_nSize - nOffset) / nEntrySize;
}
} // namespace

unsigned elf_version(unsigned nVersion)
{
    return nVersion == EV_CURRENT ? EV_CURRENT : EV_NONE;
}

Elf* elf_memory(char* pImage, size_t nSize)
{
    const auto* pData = reinterpret_cast<const unsigned char*>(pImage);
    if (pData == nullptr || nSize < EI_NIDENT || std::memcmp(pData, ELFMAG, SELFMAG) != 0)
    {
        return Fail<Elf>("not an ELF file");
    }
    const unsigned nClass = pData[EI_CLASS];
    const unsigned nOrder = pData[EI_DATA];
    if ((nClass != ELFCLASS32 && nClass != ELFCLASS64) ||
        (nOrder != ELFDATA2LSB && nOrder != ELFDATA2MSB))
    {
        return Fail<Elf>("unknown ELF class or byte order");
    }
    if (nSize < (nClass == ELFCLASS64 ? ELF64_HEADER_SIZE : ELF32_HEADER_SIZE))
    {
        return Fail<Elf>("the file is shorter than its ELF header");
    }
    auto* pElf = new Elf;
    pElf->m_pImage = pImage;
    pElf->m_pData = pData;
    pElf->m_nSize = nSize;
    GElf_Ehdr& header = pElf->m_header;
    std::memcpy(header.e_ident, pData, EI_NIDENT);
    const bool b64 = nClass == ELFCLASS64;
    // The fields after e_entry move by the width of the three addresses.
    const size_t nWide = b64 ? 8 : 4;
    const size_t nAfterAddresses = 24 + 3 * nWide;
    header.e_type = static_cast<uint16_t>(Field(*pElf, 16, 2));
    header.e_machine = static_cast<uint16_t>(Field(*pElf, 18, 2));
    header.e_version = static_cast<uint32_t>(Field(*pElf, 20, 4));
    header.e_entry = Field(*pElf, 24, nWide);
    header.e_phoff = Field(*pElf, 24 + nWide, nWide);
    header.e_shoff = Field(*pElf, 24 + 2 * nWide, nWide);
    header.e_flags = static_cast<uint32_t>(Field(*pElf, nAfterAddresses, 4));
    header.e_ehsize = static_cast<uint16_t>(Field(*pElf, nAfterAddresses + 4, 2));
    header.e_phentsize = static_cast<uint16_t>(Field(*pElf, nAfterAddresses + 6, 2));
    header.e_phnum = static_cast<uint16_t>(Field(*pElf, nAfterAddresses + 8, 2));
    header.e_shentsize = static_cast<uint16_t>(Field(*pElf, nAfterAddresses + 10, 2));
    header.e_shnum = static_cast<uint16_t>(Field(*pElf, nAfterAddresses + 12, 2));
    header.e_shstrndx = static_cast<uint16_t>(Field(*pElf, nAfterAddresses + 14, 2));
    return pElf;
}

Elf_Kind elf_kind(Elf* pElf)
{
    return pElf != nullptr ? ELF_K_ELF : ELF_K_NONE;
}

GElf_Ehdr* gelf_getehdr(Elf* pElf, GElf_Ehdr* pHeader)
{
    if (pElf == nullptr || pHeader == nullptr)
    {
        return Fail<GElf_Ehdr>("no ELF file");
    }
    *pHeader = pElf->m_header;
    return pHeader;
}

int elf_getphdrnum(Elf* pElf, size_t* pCount)
{
    if (pElf == nullptr || pCount == nullptr)
    {
        t_strLastError = "no ELF file";
        return -1;
    }
    const GElf_Ehdr& header = pElf->m_header;
    uint64_t nCount = header.e_phnum;
    // Too many to say in the header: the count is in the first section header's sh_info.
    if (nCount == PN_XNUM)
    {
        const size_t nShdrSize = Is64(*pElf) ? ELF64_SHDR_SIZE : ELF32_SHDR_SIZE;
        if (header.e_shoff == 0 || !Inside(*pElf, header.e_shoff, 1, nShdrSize))
        {
            t_strLastError = "the program header count lies outside the file";
            return -1;
        }
        nCount = Field(*pElf, static_cast<size_t>(header.e_shoff) + (Is64(*pElf) ? 44 : 28), 4);
    }
    const size_t nPhdrSize = Is64(*pElf) ? ELF64_PHDR_SIZE : ELF32_PHDR_SIZE;
    if (nCount != 0 && header.e_phentsize != nPhdrSize)
    {
        t_strLastError = "the program headers have the wrong size";
        return -1;
    }
    if (!Inside(*pElf, header.e_phoff, nCount, nPhdrSize))
    {
        t_strLastError = "the program headers reach past the end of the file";
        return -1;
    }
    *pCount = static_cast<size_t>(nCount);
    return 0;
}

GElf_Phdr* gelf_getphdr(Elf* pElf, int nIndex, GElf_Phdr* pSegment)
{
    size_t nCount = 0;
    if (pSegment == nullptr || elf_getphdrnum(pElf, &nCount) != 0)
    {
        return Fail<GElf_Phdr>("no program headers");
    }
    if (nIndex < 0 || static_cast<size_t>(nIndex) >= nCount)
    {
        return Fail<GElf_Phdr>("no such program header");
    }
    const Elf& elf = *pElf;
    if (Is64(elf))
    {
        const size_t nAt = static_cast<size_t>(elf.m_header.e_phoff) + nIndex * ELF64_PHDR_SIZE;
        pSegment->p_type = static_cast<uint32_t>(Field(elf, nAt, 4));
        pSegment->p_flags = static_cast<uint32_t>(Field(elf, nAt + 4, 4));
        pSegment->p_offset = Field(elf, nAt + 8, 8);
        pSegment->p_vaddr = Field(elf, nAt + 16, 8);
        pSegment->p_paddr = Field(elf, nAt + 24, 8);
        pSegment->p_filesz = Field(elf, nAt + 32, 8);
        pSegment->p_memsz = Field(elf, nAt + 40, 8);
        pSegment->p_align = Field(elf, nAt + 48, 8);
    }
    else
    {
        const size_t nAt = static_cast<size_t>(elf.m_header.e_phoff) + nIndex * ELF32_PHDR_SIZE;
        pSegment->p_type = static_cast<uint32_t>(Field(elf, nAt, 4));
        pSegment->p_offset = Field(elf, nAt + 4, 4);
        pSegment->p_vaddr = Field(elf, nAt + 8, 4);
        pSegment->p_paddr = Field(elf, nAt + 12, 4);
        pSegment->p_filesz = Field(elf, nAt + 16, 4);
        pSegment->p_memsz = Field(elf, nAt + 20, 4);
        pSegment->p_flags = static_cast<uint32_t>(Field(elf, nAt + 24, 4));
        pSegment->p_align = Field(elf, nAt + 28, 4);
    }
    return pSegment;
}

namespace
{
size_t SectionHeaderSize(const Elf& elf)
{
    return Is64(elf) ? ELF64_SHDR_SIZE : ELF32_SHDR_SIZE;
}

// Section 0's field at nOffset32 (ELF32) or nOffset64 (ELF64) of nBytes32 or nBytes64 bytes;
// false when the section headers do not reach into the file.
bool FirstSectionField(const Elf& elf, size_t nOffset32, size_t nOffset64, unsigned nBytes32,
                       unsigned nBytes64, uint64_t& nValue)
{
    const GElf_Ehdr& header = elf.m_header;
    if (header.e_shoff == 0 || header.e_shentsize != SectionHeaderSize(elf) ||
        !Inside(elf, header.e_shoff, 1, SectionHeaderSize(elf)))
    {
        return false;
    }
    const size_t nAt = static_cast<size_t>(header.e_shoff);
    nValue =
        Is64(elf) ? Field(elf, nAt + nOffset64, nBytes64) : Field(elf, nAt + nOffset32, nBytes32);
    return true;
}

// Reads section header nIndex; the caller has checked it is one of the file's.
GElf_Shdr ReadSectionHeader(const Elf& elf, size_t nIndex)
{
    GElf_Shdr section = {};
    const size_t nAt = static_cast<size_t>(elf.m_header.e_shoff) + nIndex * SectionHeaderSize(elf);
    section.sh_name = static_cast<uint32_t>(Field(elf, nAt, 4));
    section.sh_type = static_cast<uint32_t>(Field(elf, nAt + 4, 4));
    if (Is64(elf))
    {
        section.sh_flags = Field(elf, nAt + 8, 8);
        section.sh_addr = Field(elf, nAt + 16, 8);
        section.sh_offset = Field(elf, nAt + 24, 8);
        section.sh_size = Field(elf, nAt + 32, 8);
        section.sh_link = static_cast<uint32_t>(Field(elf, nAt + 40, 4));
        section.sh_info = static_cast<uint32_t>(Field(elf, nAt + 44, 4));
        section.sh_addralign = Field(elf, nAt + 48, 8);
        section.sh_entsize = Field(elf, nAt + 56, 8);
    }
    else
    {
        section.sh_flags = Field(elf, nAt + 8, 4);
        section.sh_addr = Field(elf, nAt + 12, 4);
        section.sh_offset = Field(elf, nAt + 16, 4);
        section.sh_size = Field(elf, nAt + 20, 4);
        section.sh_link = static_cast<uint32_t>(Field(elf, nAt + 24, 4));
        section.sh_info = static_cast<uint32_t>(Field(elf, nAt + 28, 4));
        section.sh_addralign = Field(elf, nAt + 32, 4);
        section.sh_entsize = Field(elf, nAt + 36, 4);
    }
    return section;
}
} // namespace

int elf_getshdrnum(Elf* pElf, size_t* pCount)
{
    if (pElf == nullptr || pCount == nullptr)
    {
        t_strLastError = "no ELF file";
        return -1;
    }
    const GElf_Ehdr& header = pElf->m_header;
    if (header.e_shoff == 0)
    {
        *pCount = 0;
        return 0;
    }
    uint64_t nCount = header.e_shnum;
    // Too many to say in the header: the count is in the first section header's sh_size.
    if (nCount == 0 && !FirstSectionField(*pElf, 20, 32, 4, 8, nCount))
    {
        t_strLastError = "the section count lies outside the file";
        return -1;
    }
    if (nCount != 0 && header.e_shentsize != SectionHeaderSize(*pElf))
    {
        t_strLastError = "the section headers have the wrong size";
        return -1;
    }
    if (!Inside(*pElf, header.e_shoff, nCount, SectionHeaderSize(*pElf)))
    {
        t_strLastError = "the section headers reach past the end of the file";
        return -1;
    }
    *pCount = static_cast<size_t>(nCount);
    return 0;
}

int elf_getshdrstrndx(Elf* pElf, size_t* pIndex)
{
    size_t nCount = 0;
    if (pIndex == nullptr || elf_getshdrnum(pElf, &nCount) != 0)
    {
        return -1;
    }
    uint64_t nIndex = pElf->m_header.e_shstrndx;
    // Too large for the header: the index is in the first section header's sh_link.
    if (nIndex == SHN_XINDEX && !FirstSectionField(*pElf, 24, 40, 4, 4, nIndex))
    {
        t_strLastError = "the index of the section names lies outside the file";
        return -1;
    }
    if (nIndex >= nCount)
    {
        t_strLastError = "no section holds the section names";
        return -1;
    }
    *pIndex = static_cast<size_t>(nIndex);
    return 0;
}

Elf_Scn* elf_getscn(Elf* pElf, size_t nIndex)
{
    size_t nCount = 0;
    if (elf_getshdrnum(pElf, &nCount) != 0)
    {
        return nullptr;
    }
    if (nIndex >= nCount)
    {
        return Fail<Elf_Scn>("no such section");
    }
    Elf_Scn& section = pElf->m_sections[nIndex];
    section.m_pElf = pElf;
    section.m_nIndex = nIndex;
    return &section;
}

GElf_Shdr* gelf_getshdr(Elf_Scn* pSection, GElf_Shdr* pHeader)
{
    if (pSection == nullptr || pHeader == nullptr)
    {
        return Fail<GElf_Shdr>("no section");
    }
    *pHeader = ReadSectionHeader(*pSection->m_pElf, pSection->m_nIndex);
    return pHeader;
}

char* elf_strptr(Elf* pElf, size_t nSection, size_t nOffset)
{
    size_t nCount = 0;
    if (elf_getshdrnum(pElf, &nCount) != 0)
    {
        return nullptr;
    }
    if (nSection >= nCount)
    {
        return Fail<char>("no such string section");
    }
    const GElf_Shdr strings = ReadSectionHeader(*pElf, nSection);
    if (strings.sh_type != SHT_STRTAB || !Inside(*pElf, strings.sh_offset, strings.sh_size, 1) ||
        nOffset >= strings.sh_size)
    {
        return Fail<char>("not a string section inside the file");
    }
    const size_t nStart = static_cast<size_t>(strings.sh_offset) + nOffset;
    const size_t nEnd = static_cast<size_t>(strings.sh_offset + strings.sh_size);
    if (std::memchr(pElf->m_pData + nStart, '\0', nEnd - nStart) == nullptr)
    {
        return Fail<char>("the string runs past its section");
    }
    return pElf->m_pImage + nStart;
}

int elf_end(Elf* pElf)
{
    delete pElf;
    return 0;
}

const char* elf_errmsg(int)
{
    return t_strLastError.c_str();
}
