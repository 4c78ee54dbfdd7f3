#pragma once
// Small functions with the C runtime's rules that the program relies on.

#include <cstdint>
#include <string>

// _atoi64: skip blanks (0x09-0x0D, 0x20), one optional sign, decimal digits up to the first
// non-digit; no digits give 0; out of range clamps to INT64_MIN or INT64_MAX.
int64_t Atoi64(const std::string& strText);

// _mbsupr as this program needs it: ASCII a-z upper-cased, every other byte kept.
std::string MbsUpr(std::string strText);
