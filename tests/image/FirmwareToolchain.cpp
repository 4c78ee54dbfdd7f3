#include "image/FirmwareToolchain.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sys/wait.h>

namespace
{
const char TOOLCHAIN_HINT[] = "\n(the image tests need Debian's gcc-arm-none-eabi, "
                              "binutils-arm-none-eabi, libnewlib-arm-none-eabi and "
                              "libstdc++-arm-none-eabi-newlib: scripts/install-deps.sh test)";

// Runs a shell command; false with its output and status in strError.
bool RunCommand(const std::string& strCommand, std::string& strError)
{
    FILE* pPipe = popen((strCommand + " 2>&1").c_str(), "r");
    if (pPipe == nullptr)
    {
        strError = "cannot run: " + strCommand;
        return false;
    }
    std::string strOutput;
    char szBuffer[512];
    size_t nRead = 0;
    while ((nRead = std::fread(szBuffer, 1, sizeof szBuffer, pPipe)) > 0)
    {
        strOutput.append(szBuffer, nRead);
    }
    const int nStatus = pclose(pPipe);
    if (nStatus != 0)
    {
        strError = strCommand + "\nfailed with status " + std::to_string(nStatus) + ":\n" +
                   strOutput + TOOLCHAIN_HINT;
        return false;
    }
    return true;
}
} // namespace

bool BuildFirmware(const CFirmwareRecipe& recipe, const std::string& strDir, CBuiltFirmware& built,
                   std::string& strError)
{
    const std::string strSource = std::string(QUILLON_SOURCE_DIR) + "/tests/image/firmware/";
    std::string strFlags = recipe.m_pszFlags;
    for (size_t nAt = strFlags.find("@/"); nAt != std::string::npos;
         nAt = strFlags.find("@/", nAt + strSource.size()))
    {
        strFlags.replace(nAt, 2, strSource);
    }
    const std::string strName = recipe.m_pszSource;
    const bool bCxx = strName.size() > 4 && strName.substr(strName.size() - 4) == ".cpp";
    const std::string strBase = strDir + "/" + recipe.m_pszName;
    built.m_strElf = strBase + ".elf";
    built.m_strHex = strBase + ".hex";
    built.m_strSrec = strBase + ".srec";
    return RunCommand(std::string(bCxx ? "arm-none-eabi-g++" : "arm-none-eabi-gcc") +
                          " -mcpu=cortex-m3 -mthumb -Os " + strFlags + " -o '" + built.m_strElf +
                          "' '" + strSource + strName + "'",
                      strError) &&
           RunCommand("arm-none-eabi-objcopy -O ihex '" + built.m_strElf + "' '" + built.m_strHex +
                          "'",
                      strError) &&
           RunCommand("arm-none-eabi-objcopy -O srec '" + built.m_strElf + "' '" + built.m_strSrec +
                          "'",
                      strError);
}

bool BuildFirmware(const std::string& strLayout, const std::string& strDir, CBuiltFirmware& built,
                   std::string& strError)
{
    const std::string strFlags =
        "-ffreestanding -nostdlib -nostartfiles -Wl,--build-id=none -T @/" + strLayout + ".ld";
    return BuildFirmware({strLayout.c_str(), "firmware.c", strFlags.c_str()}, strDir, built,
                         strError);
}

bool ObjcopyFlatImage(const std::string& strInput, const char* pszInputFormat, uint8_t nGapFill,
                      std::vector<uint8_t>& image, std::string& strError)
{
    const CImageTempDir dir;
    const std::string strOutput = dir.Path() + "/objcopy.bin";
    if (!RunCommand(std::string("arm-none-eabi-objcopy -I ") + pszInputFormat +
                        " -O binary --gap-fill " + std::to_string(nGapFill) + " '" + strInput +
                        "' '" + strOutput + "'",
                    strError))
    {
        return false;
    }
    image = ReadFileBytes(strOutput);
    return true;
}

std::vector<uint8_t> ReadFileBytes(const std::string& strPath)
{
    std::ifstream file(strPath, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(file),
                                std::istreambuf_iterator<char>());
}

CImageTempDir::CImageTempDir()
{
    char szTemplate[] = "/tmp/quillon-image-XXXXXX";
    const char* pszPath = mkdtemp(szTemplate);
    m_strPath = pszPath != nullptr ? pszPath : "";
}

CImageTempDir::~CImageTempDir()
{
    if (!m_strPath.empty())
    {
        std::error_code error;
        std::filesystem::remove_all(m_strPath, error);
    }
}
