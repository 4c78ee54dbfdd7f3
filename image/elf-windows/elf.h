// The ELF constants Quillon reads, for Windows, where no C library brings <elf.h>. The values
// are those of the ELF standard.
#pragma once

#include <cstdint>

#define ELFMAG "\177ELF"
#define SELFMAG 4

enum : unsigned
{
    EI_CLASS = 4,
    EI_DATA = 5,
    EI_VERSION = 6,
    EI_NIDENT = 16,
};

enum : unsigned
{
    ELFCLASSNONE = 0,
    ELFCLASS32 = 1,
    ELFCLASS64 = 2,
    ELFDATA2LSB = 1,
    ELFDATA2MSB = 2,
    EV_NONE = 0,
    EV_CURRENT = 1,
    ET_REL = 1,
    PT_LOAD = 1,
    PT_TLS = 7,
    PN_XNUM = 0xffff,
    SHN_UNDEF = 0,
    SHN_XINDEX = 0xffff,
    SHT_NULL = 0,
    SHT_SYMTAB = 2,
    SHT_STRTAB = 3,
    SHT_NOBITS = 8,
    SHF_ALLOC = 0x2,
    SHF_TLS = 0x400,
};

enum : uint16_t
{
    EM_NONE = 0,
    EM_SPARC = 2,
    EM_386 = 3,
    EM_68K = 4,
    EM_MIPS = 8,
    EM_PPC = 20,
    EM_PPC64 = 21,
    EM_ARM = 40,
    EM_SH = 42,
    EM_ARC = 45,
    EM_X86_64 = 62,
    EM_AVR = 83,
    EM_XTENSA = 94,
    EM_MSP430 = 105,
    EM_AARCH64 = 183,
    EM_RISCV = 243,
};
