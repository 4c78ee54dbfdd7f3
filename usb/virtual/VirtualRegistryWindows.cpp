// The registry of virtual boards on Windows: a directory, by default in the user's own
// %LOCALAPPDATA%, whose subdirectories are the boards. Their pipes are named pipes (see
// PipeInterface.h), so the registry holds only a board's description and its interface path.
// Windows gives the user's profile to the user alone; what protects a host from another
// user's board is the check of the pipe's server (RunsAsCurrentUser), not the directory.

#include "usb/virtual/VirtualRegistry.h"

#include "usb/WinHandle.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string_view>
#include <system_error>

namespace
{
const char* NonEmptyEnvironment(const char* pszName)
{
    const char* pszValue = std::getenv(pszName);
    return (pszValue != nullptr && *pszValue != '\0') ? pszValue : nullptr;
}

std::string MakeAbsolute(const std::string& strPath)
{
    char szFull[MAX_PATH * 4];
    const DWORD nLength = ::GetFullPathNameA(strPath.c_str(), sizeof(szFull), szFull, nullptr);
    std::string strFull =
        (nLength == 0 || nLength >= sizeof(szFull)) ? strPath : std::string(szFull, nLength);
    while (strFull.size() > 3 && (strFull.back() == '\\' || strFull.back() == '/'))
    {
        strFull.pop_back();
    }
    return strFull;
}

bool IsDirectory(const std::string& strPath)
{
    const DWORD nAttributes = ::GetFileAttributesA(strPath.c_str());
    return nAttributes != INVALID_FILE_ATTRIBUTES && (nAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool MakeDirectories(const std::string& strDirectory, std::string* pstrError)
{
    std::error_code error;
    std::filesystem::create_directories(std::filesystem::path(strDirectory), error);
    if (IsDirectory(strDirectory))
    {
        return true;
    }
    if (pstrError != nullptr)
    {
        *pstrError = "cannot create " + strDirectory + ": " +
                     (error ? error.message() : std::string("not a directory"));
    }
    return false;
}
} // namespace

std::string GetQuillonRuntimeDirectory()
{
    if (const char* pszLocal = NonEmptyEnvironment("LOCALAPPDATA"))
    {
        return MakeAbsolute(std::string(pszLocal) + "\\Quillon");
    }
    char szTemp[MAX_PATH + 1];
    const DWORD nLength = ::GetTempPathA(sizeof(szTemp), szTemp);
    return MakeAbsolute(std::string(szTemp, nLength > sizeof(szTemp) ? 0 : nLength) + "Quillon");
}

std::string GetBoardRegistryDirectory()
{
    if (const char* pszDirectory = NonEmptyEnvironment("QUILLON_BOARD_DIR"))
    {
        return MakeAbsolute(pszDirectory);
    }
    return GetQuillonRuntimeDirectory() + "\\boards";
}

bool IsTrustedRegistry(const std::string& strDirectory, std::string* pstrError)
{
    if (IsDirectory(strDirectory))
    {
        return true;
    }
    if (pstrError != nullptr)
    {
        *pstrError = strDirectory + ": not a directory";
    }
    return false;
}

bool EnsureBoardRegistry(const std::string& strDirectory, std::string* pstrError)
{
    return MakeDirectories(MakeAbsolute(strDirectory), pstrError);
}

bool EnsurePrivateDirectory(const std::string& strDirectory, std::string* pstrError)
{
    return MakeDirectories(MakeAbsolute(strDirectory), pstrError);
}

std::string RegistryTrustProblem(const std::string& strDirectory)
{
    const DWORD nAttributes = ::GetFileAttributesA(strDirectory.c_str());
    if (nAttributes == INVALID_FILE_ATTRIBUTES || (nAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
    {
        return std::string();
    }
    return "Virtual boards in " + strDirectory +
           " are ignored: it is not a directory. Remove it, or set QUILLON_BOARD_DIR to a "
           "directory of your own.";
}

std::vector<std::string> ListBoardNames(const std::string& strDirectory)
{
    std::vector<std::string> names;
    WIN32_FIND_DATAA found{};
    HANDLE hFind = ::FindFirstFileA((strDirectory + "\\*").c_str(), &found);
    if (hFind == INVALID_HANDLE_VALUE)
    {
        return names;
    }
    do
    {
        // Junctions and links are no boards of this registry.
        const DWORD nAttributes = found.dwFileAttributes;
        if (found.cFileName[0] != '.' && (nAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
            (nAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0)
        {
            names.emplace_back(found.cFileName);
        }
    } while (::FindNextFileA(hFind, &found));
    ::FindClose(hFind);
    // std::string compares as unsigned bytes, which is the order boards are listed in.
    std::sort(names.begin(), names.end());
    return names;
}

namespace
{
// The first bytes of a regular file, up to the first newline or NUL; empty if unreadable.
std::string ReadFirstLine(const std::string& strPath, size_t nMax)
{
    const CWinHandle file(::CreateFileA(strPath.c_str(), GENERIC_READ,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.IsValid() || ::GetFileType(file.Get()) != FILE_TYPE_DISK)
    {
        return std::string();
    }
    std::string strText;
    char buffer[4096];
    while (strText.size() < nMax)
    {
        DWORD nRead = 0;
        if (!::ReadFile(file.Get(), buffer, sizeof(buffer), &nRead, nullptr) || nRead == 0)
        {
            break;
        }
        const std::string_view chunk(buffer, nRead);
        const size_t nEnd = chunk.find_first_of(std::string_view("\n\0", 2));
        strText.append(chunk.substr(0, nEnd));
        if (nEnd != std::string_view::npos)
        {
            break;
        }
    }
    if (strText.size() > nMax)
    {
        strText.resize(nMax);
    }
    return strText;
}
} // namespace

std::string ReadBoardDescription(const std::string& strBoardDirectory)
{
    return ReadFirstLine(strBoardDirectory + "\\" + BOARD_DESCRIPTION_FILE, 64 * 1024);
}

std::string ReadBoardInterface(const std::string& strBoardDirectory)
{
    return PipeInterfaceFromText(
        ReadFirstLine(strBoardDirectory + "\\" + BOARD_INTERFACE_FILE, MAX_PIPE_NAME + 64));
}

std::string BoardIdentity(const std::string& strDevicePath)
{
    const std::string strInterface = ReadBoardInterface(strDevicePath);
    return strInterface.empty() ? strDevicePath : "interface " + strInterface;
}
