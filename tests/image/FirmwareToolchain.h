#pragma once
// Real firmware for the image tests: the programs in firmware/ built with Debian's
// arm-none-eabi toolchain (and newlib, libstdc++) into ELF, Intel HEX and S-record, and
// objcopy's flat image of any of them as the reference.

#include <cstdint>
#include <string>
#include <vector>

struct CBuiltFirmware
{
    std::string m_strElf;
    std::string m_strHex;
    std::string m_strSrec;
};

// Builds firmware/firmware.c with firmware/<strLayout>.ld into strDir. False with the
// toolchain's words in strError.
bool BuildFirmware(const std::string& strLayout, const std::string& strDir, CBuiltFirmware& built,
                   std::string& strError);

// One way of building a program of firmware/: the source file (C or C++ by its name) and the
// compiler's flags beyond the CPU's, where "@/" stands for firmware/ (its linker scripts).
struct CFirmwareRecipe
{
    const char* m_pszName; // the files' base name
    const char* m_pszSource;
    const char* m_pszFlags;
};

bool BuildFirmware(const CFirmwareRecipe& recipe, const std::string& strDir, CBuiltFirmware& built,
                   std::string& strError);

// `arm-none-eabi-objcopy -I <pszInputFormat> -O binary --gap-fill <nGapFill>` of a file.
bool ObjcopyFlatImage(const std::string& strInput, const char* pszInputFormat, uint8_t nGapFill,
                      std::vector<uint8_t>& image, std::string& strError);

std::vector<uint8_t> ReadFileBytes(const std::string& strPath);

// A private temporary directory, removed with its contents.
class CImageTempDir
{
public:
    CImageTempDir();
    ~CImageTempDir();
    CImageTempDir(const CImageTempDir&) = delete;
    CImageTempDir& operator=(const CImageTempDir&) = delete;
    const std::string& Path() const { return m_strPath; }

private:
    std::string m_strPath;
};
