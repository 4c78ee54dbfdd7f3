// The part of libelf's interface that Quillon uses, for Windows, where elfutils does not
// build. Files are read from memory only; both classes and both byte orders are understood.
#pragma once

#include "elf.h"

#include <cstddef>

struct Elf;
struct Elf_Scn;

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
// The number of sections, section 0 included (0 for a file without section headers).
int elf_getshdrnum(Elf* pElf, size_t* pCount);
// The index of the section that holds the section names.
int elf_getshdrstrndx(Elf* pElf, size_t* pIndex);
// A handle to section nIndex, valid as long as pElf.
Elf_Scn* elf_getscn(Elf* pElf, size_t nIndex);
// The NUL-terminated string at nOffset of string section nSection, or nullptr.
char* elf_strptr(Elf* pElf, size_t nSection, size_t nOffset);
int elf_end(Elf* pElf);
// Why the last call on this thread failed; the argument is ignored (libelf's -1).
const char* elf_errmsg(int nError);
