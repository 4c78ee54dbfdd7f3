// A small reader of ELF headers and program headers behind libelf's interface, for Windows,
// where elfutils does not build. Every offset and count is checked against the file's size
// before it is read.

#include "elf-windows/gelf.h"

#include <cstring>
#include <string>

struct Elf
{
    const unsigned char* m_pData = nullptr;
    size_t m_nSize = 0;
    GElf_Ehdr m_header = {};
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

int elf_end(Elf* pElf)
{
    delete pElf;
    return 0;
}

const char* elf_errmsg(int)
{
    return t_strLastError.c_str();
}
