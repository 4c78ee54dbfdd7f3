// libelf's class-independent view of the ELF header and program headers, for Windows.
#pragma once

#include "libelf.h"

#include <cstdint>

struct GElf_Ehdr
{
    unsigned char e_ident[EI_NIDENT];
    uint16_t e_type;
    uint16_t e_machine;
    uint32_t e_version;
    uint64_t e_entry;
    uint64_t e_phoff;
    uint64_t e_shoff;
    uint32_t e_flags;
    uint16_t e_ehsize;
    uint16_t e_phentsize;
    uint16_t e_phnum;
    uint16_t e_shentsize;
    uint16_t e_shnum;
    uint16_t e_shstrndx;
};

struct GElf_Phdr
{
    uint32_t p_type;
    uint32_t p_flags;
    uint64_t p_offset;
    uint64_t p_vaddr;
    uint64_t p_paddr;
    uint64_t p_filesz;
    uint64_t p_memsz;
    uint64_t p_align;
};

GElf_Ehdr* gelf_getehdr(Elf* pElf, GElf_Ehdr* pHeader);
GElf_Phdr* gelf_getphdr(Elf* pElf, int nIndex, GElf_Phdr* pSegment);
