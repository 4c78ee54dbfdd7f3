// ELF files, read with libelf: the loadable segments of a 32-bit little-endian ARM file.

#include "image/FirmwareImageParts.h"

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
    size_t nHeaders = 0;
    if (elf_getphdrnum(pElf.get(), &nHeaders) != 0)
    {
        return Failed(FORMAT, std::string("the program headers cannot be read: ") + elf_errmsg(-1));
    }
    std::vector<CChunk> chunks;
    for (size_t n = 0; n < nHeaders; ++n)
    {
        GElf_Phdr segment = {};
        if (gelf_getphdr(pElf.get(), static_cast<int>(n), &segment) == nullptr)
        {
            return Failed(FORMAT, "segment " + std::to_string(n) +
                                      ": its header cannot be read: " + elf_errmsg(-1));
        }
        if (segment.p_type != PT_LOAD || segment.p_filesz == 0)
        {
            continue;
        }
        const std::string strWhere = "segment " + std::to_string(n) + ": ";
        if (segment.p_offset > fileData.size() ||
            segment.p_filesz > fileData.size() - segment.p_offset)
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
        return Failed(FORMAT, "no loadable segment with contents; is it an object file rather "
                              "than linked firmware?");
    }
    CFirmwareImage image;
    image.m_format = FORMAT;
    image.m_bOk = BuildFlatImage(chunks, fileData.data(), "segment", options, image);
    return image;
}
} // namespace FirmwareParts
