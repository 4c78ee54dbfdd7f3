#pragma once
// Safe substitution into texts from the language file, which anyone can edit: the one
// expected argument goes into the first matching conversion, "%%" becomes "%", and any
// other '%' sequence stays as literal text. Never reads a missing argument.

#include <cstdint>
#include <string>

std::string FormatWithString(const std::string& strFormat, const std::string& strArgument);
std::string FormatWithNumber(const std::string& strFormat, int64_t nArgument);
