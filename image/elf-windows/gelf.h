// libelf's class-independent view of the ELF header, program headers and section headers, for
// Windows.
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

struct GElf_Shdr
{
    uint32_t sh_name;
    uint32_t sh_type;
    uint64_t sh_flags;
    uint64_t sh_addr;
    uint64_t sh_offset;
    uint64_t sh_size;
    uint32_t sh_link;
    uint32_t sh_info;
    uint64_t sh_addralign;
    uint64_t sh_entsize;
};

GElf_Ehdr* gelf_getehdr(Elf* pElf, GElf_Ehdr* pHeader);
GElf_Phdr* gelf_getphdr(Elf* pElf, int nIndex, GElf_Phdr* pSegment);
GElf_Shdr* gelf_getshdr(Elf_Scn* pSection, GElf_Shdr* pHeader);
