// ELF files, read with libelf: the allocated sections of a 32-bit little-endian ARM file at
// their load addresses, as objcopy -O binary takes them. Never the segments' own bytes where
// sections are known: a segment may hold the ELF and program headers in front of the code
// (ld's normal paged link of code that does not start on a page) and zeros between sections
// where objcopy puts the gap fill.

#include "image/FirmwareImageParts.h"

#include <algorithm>
#include <cstring>
#include <gelf.h>
#include <libelf.h>
#include <memory>

namespace FirmwareParts
{
namespace
{
std::string MachineName(unsigned nMachine)
{
    switch (nMachine)
    {
    case EM_386:
        return "Intel 80386";
    case EM_X86_64:
        return "x86-64";
    case EM_AARCH64:
        return "AArch64 (64-bit ARM)";
    case EM_ARM:
        return "ARM";
    case EM_RISCV:
        return "RISC-V";
    case EM_AVR:
        return "Atmel AVR";
    case EM_MIPS:
        return "MIPS";
    case EM_PPC:
        return "PowerPC";
    case EM_PPC64:
        return "PowerPC 64";
    case EM_XTENSA:
        return "Xtensa";
    case EM_MSP430:
        return "TI MSP430";
    case EM_SPARC:
        return "SPARC";
    case EM_68K:
        return "Motorola 68000";
    case EM_SH:
        return "SuperH";
    case EM_ARC:
        return "ARC";
    case EM_NONE:
        return "no machine";
    default:
        return "an unknown machine";
    }
}

struct CElfEnd
{
    void operator()(Elf* pElf) const { elf_end(pElf); }
};

// Whether nLength at nAt lies inside nLimit at nBase (all of it; nothing reaches past).
bool Within(uint64_t nAt, uint64_t nLength, uint64_t nBase, uint64_t nLimit)
{
    return nAt >= nBase && nAt - nBase <= nLimit && nLength <= nLimit - (nAt - nBase);
}

// A section's load address, as objcopy reads it: in the first segment that holds the
// section's file bytes and its addresses (PT_LOAD, or PT_TLS for thread-local data), its
// place in that segment's load image; outside any segment, its own address. Files whose
// segments all say load address 0 (some linkers leave p_paddr out) load at the addresses.
uint64_t LoadAddress(const GElf_Shdr& section, const std::vector<GElf_Phdr>& segments,
                     bool bAddressesOnly)
{
    if (bAddressesOnly)
    {
        return section.sh_addr;
    }
    const bool bThreadLocal = (section.sh_flags & SHF_TLS) != 0;
    for (const GElf_Phdr& segment : segments)
    {
        const bool bHolds = segment.p_type == PT_LOAD || (bThreadLocal && segment.p_type == PT_TLS);
        if (bHolds &&
            Within(section.sh_offset, section.sh_size, segment.p_offset, segment.p_filesz) &&
            Within(section.sh_addr, section.sh_size, segment.p_vaddr, segment.p_memsz))
        {
            return segment.p_paddr + (section.sh_offset - segment.p_offset);
        }
    }
    return section.sh_addr;
}

// A section's name as the file has it, fit for a terminal: control and other bytes outside
// printable ASCII as '?', cut at 64 characters.
std::string ShowableName(const char* pszName)
{
    constexpr size_t MAX_NAME = 64;
    std::string strName;
    for (const char* p = pszName; p != nullptr && *p != '\0' && strName.size() < MAX_NAME; ++p)
    {
        const auto c = static_cast<unsigned char>(*p);
        strName += c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?';
    }
    return strName;
}

// Whether every program header says load address 0 while more than one segment loads.
bool LoadAddressesLeftOut(const std::vector<GElf_Phdr>& segments)
{
    size_t nLoading = 0;
    for (const GElf_Phdr& segment : segments)
    {
        if (segment.p_paddr != 0)
        {
            return false;
        }
        nLoading += segment.p_type == PT_LOAD && segment.p_memsz != 0 ? 1 : 0;
    }
    return nLoading > 1;
}

CFirmwareImage ConvertSections(Elf* pElf, size_t nSections, const std::vector<GElf_Phdr>& segments,
                               std::vector<uint8_t>& fileData, const CImageOptions& options)
{
    const EFirmwareFormat FORMAT = EFirmwareFormat::ELF;
    size_t nNames = 0;
    if (elf_getshdrstrndx(pElf, &nNames) != 0)
    {
        nNames = 0; // unnamed sections are still sections
    }
    const bool bAddressesOnly = LoadAddressesLeftOut(segments);
    std::vector<std::string> names(nSections);
    const auto Name = [&names](size_t nSection)
    {
        return "section " + std::to_string(nSection) +
               (names[nSection].empty() ? "" : " (" + names[nSection] + ")");
    };
    std::vector<CChunk> chunks;
    for (size_t n = 1; n < nSections; ++n)
    {
        GElf_Shdr section = {};
        Elf_Scn* pSection = elf_getscn(pElf, n);
        if (pSection == nullptr || gelf_getshdr(pSection, &section) == nullptr)
        {
            return Failed(FORMAT, "section " + std::to_string(n) +
                                      ": its header cannot be read: " + elf_errmsg(-1));
        }
        // What objcopy loads: allocated, with contents in the file. The names and symbols
        // are no sections of the image even if a file marks them allocated.
        if ((section.sh_flags & SHF_ALLOC) == 0 || section.sh_type == SHT_NOBITS ||
            section.sh_type == SHT_NULL || section.sh_type == SHT_SYMTAB || n == nNames)
        {
            continue;
        }
        if (nNames != 0)
        {
            names[n] = ShowableName(elf_strptr(pElf, nNames, section.sh_name));
        }
        if (section.sh_size != 0 && !Within(section.sh_offset, section.sh_size, 0, fileData.size()))
        {
            return Failed(FORMAT, Name(n) + ": its contents reach past the end of the file; the "
                                            "file may be cut short");
        }
        const uint64_t nAddress = LoadAddress(section, segments, bAddressesOnly);
        if (nAddress + section.sh_size > ADDRESS_SPACE_END)
        {
            return Failed(FORMAT,
                          Name(n) + ": its bytes at " + Hex32(nAddress) + " reach past 4 GiB");
        }
        chunks.push_back({nAddress, static_cast<size_t>(section.sh_offset),
                          static_cast<size_t>(section.sh_size), n});
    }
    if (std::none_of(chunks.begin(), chunks.end(),
                     [](const CChunk& chunk) { return chunk.m_nLength != 0; }))
    {
        return Failed(FORMAT, "no allocated section with contents; is it an object file or "
                              "debug information rather than linked firmware?");
    }
    CFirmwareImage image;
    image.m_format = FORMAT;
    image.m_bOk = BuildFlatImage(chunks, fileData.data(), Name, options, image);
    return image;
}

// A file without section headers (stripped that far): the PT_LOAD segments' file bytes at
// their load addresses, headers and padding included, since nothing tells them apart.
CFirmwareImage ConvertSegments(const std::vector<GElf_Phdr>& segments,
                               std::vector<uint8_t>& fileData, const CImageOptions& options)
{
    const EFirmwareFormat FORMAT = EFirmwareFormat::ELF;
    std::vector<CChunk> chunks;
    for (size_t n = 0; n < segments.size(); ++n)
    {
        const GElf_Phdr& segment = segments[n];
        if (segment.p_type != PT_LOAD || segment.p_filesz == 0)
        {
            continue;
        }
        const std::string strWhere = "segment " + std::to_string(n) + ": ";
        if (!Within(segment.p_offset, segment.p_filesz, 0, fileData.size()))
        {
            return Failed(FORMAT, strWhere + "its contents reach past the end of the file; the "
                                             "file may be cut short");
        }
        if (segment.p_paddr + segment.p_filesz > ADDRESS_SPACE_END)
        {
            return Failed(FORMAT, strWhere + "its bytes at " + Hex32(segment.p_paddr) +
                                      " reach past 4 GiB");
        }
        chunks.push_back({segment.p_paddr, static_cast<size_t>(segment.p_offset),
                          static_cast<size_t>(segment.p_filesz), n});
    }
    if (chunks.empty())
    {
        return Failed(FORMAT, "no section headers and no loadable segment with contents; is it "
                              "an object file rather than linked firmware?");
    }
    CFirmwareImage image;
    image.m_format = FORMAT;
    image.m_bFromSegments = true;
    image.m_bOk = BuildFlatImage(
        chunks, fileData.data(), [](size_t n) { return "segment " + std::to_string(n); }, options,
        image);
    return image;
}
} // namespace

bool HasElfIdentification(const uint8_t* pData, size_t nSize)
{
    return nSize >= EI_NIDENT && std::memcmp(pData, ELFMAG, SELFMAG) == 0 &&
           (pData[EI_CLASS] == ELFCLASS32 || pData[EI_CLASS] == ELFCLASS64) &&
           (pData[EI_DATA] == ELFDATA2LSB || pData[EI_DATA] == ELFDATA2MSB) &&
           pData[EI_VERSION] == EV_CURRENT;
}

CFirmwareImage ConvertElf(std::vector<uint8_t>& fileData, const CImageOptions& options)
{
    const EFirmwareFormat FORMAT = EFirmwareFormat::ELF;
    static const bool s_bLibraryReady = elf_version(EV_CURRENT) != EV_NONE;
    if (!s_bLibraryReady)
    {
        return Failed(FORMAT, "the ELF library is too old for this file");
    }
    // The identification first (checked when the format was recognised), so that a damaged
    // header still gets a clear word.
    const unsigned nClass = fileData[EI_CLASS];
    const unsigned nByteOrder = fileData[EI_DATA];
    std::unique_ptr<Elf, CElfEnd> pElf(
        elf_memory(reinterpret_cast<char*>(fileData.data()), fileData.size()));
    GElf_Ehdr header = {};
    if (!pElf || elf_kind(pElf.get()) != ELF_K_ELF || gelf_getehdr(pElf.get(), &header) == nullptr)
    {
        return Failed(FORMAT, std::string("the ELF header cannot be read: ") + elf_errmsg(-1));
    }
    if (nClass != ELFCLASS32 || nByteOrder != ELFDATA2LSB || header.e_machine != EM_ARM)
    {
        const std::string strClass = nClass == ELFCLASS64 ? "a 64-bit"
                                     : nClass == ELFCLASS32
                                         ? "a 32-bit"
                                         : "an ELF class " + std::to_string(nClass);
        const std::string strOrder = nByteOrder == ELFDATA2MSB ? " big-endian" : "";
        return Failed(FORMAT, strClass + strOrder + " ELF file for " +
                                  MachineName(header.e_machine) + ", machine type " +
                                  std::to_string(header.e_machine) +
                                  "; the board runs 32-bit little-endian ARM firmware");
    }
    if (header.e_type == ET_REL)
    {
        return Failed(FORMAT, "a relocatable object file, not linked firmware; link it into an "
                              "executable first");
    }
    size_t nHeaders = 0;
    if (elf_getphdrnum(pElf.get(), &nHeaders) != 0)
    {
        return Failed(FORMAT, std::string("the program headers cannot be read: ") + elf_errmsg(-1));
    }
    std::vector<GElf_Phdr> segments(nHeaders);
    for (size_t n = 0; n < nHeaders; ++n)
    {
        if (gelf_getphdr(pElf.get(), static_cast<int>(n), &segments[n]) == nullptr)
        {
            return Failed(FORMAT, "segment " + std::to_string(n) +
                                      ": its header cannot be read: " + elf_errmsg(-1));
        }
    }
    constexpr unsigned ELF32_SECTION_HEADER_SIZE = 40;
    if (header.e_shoff != 0 && header.e_shentsize != ELF32_SECTION_HEADER_SIZE)
    {
        return Failed(FORMAT, "the section headers have the wrong size (" +
                                  std::to_string(header.e_shentsize) + " bytes, not " +
                                  std::to_string(ELF32_SECTION_HEADER_SIZE) + ")");
    }
    // ld writes the section headers last, so a file cut short loses them first: such a file is
    // refused, not sent from its segments as one stripped of them would be.
    const uint64_t nHeaderBytes =
        uint64_t{header.e_shnum != 0 ? header.e_shnum : 1u} * header.e_shentsize;
    if (header.e_shoff != 0 && !Within(header.e_shoff, nHeaderBytes, 0, fileData.size()))
    {
        return Failed(FORMAT, "the section headers lie past the end of the file; the file may "
                              "be cut short");
    }
    size_t nSections = 0;
    if (elf_getshdrnum(pElf.get(), &nSections) != 0)
    {
        return Failed(FORMAT, std::string("the section headers cannot be read: ") + elf_errmsg(-1));
    }
    return nSections == 0 ? ConvertSegments(segments, fileData, options)
                          : ConvertSections(pElf.get(), nSections, segments, fileData, options);
}
} // namespace FirmwareParts
