// The part of libelf's interface that Quillon uses, for Windows, where elfutils does not
// build. Files are read from memory only; both classes and both byte orders are understood.
#pragma once

#include "elf.h"

#include <cstddef>

struct Elf;

enum Elf_Kind
{
    ELF_K_NONE,
    ELF_K_ELF,
};

unsigned elf_version(unsigned nVersion);
// The memory stays the caller's and must outlive the handle.
Elf* elf_memory(char* pImage, size_t nSize);
Elf_Kind elf_kind(Elf* pElf);
int elf_getphdrnum(Elf* pElf, size_t* pCount);
int elf_end(Elf* pElf);
// Why the last call on this thread failed; the argument is ignored (libelf's -1).
const char* elf_errmsg(int nError);
