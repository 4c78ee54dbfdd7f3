// Files read whole and written atomically, on Windows: bytes as they are (no text mode), the
// temporary file flushed to the disk and moved over the target in one step.

#include "app/FileOutput.h"

#include "ui/wizard/WizardRun.h"
#include "usb/WinHandle.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <io.h>
#include <new>
#include <sys/stat.h>
#include <windows.h>

namespace
{
// Closes a handle on every path.
class CFileHandle
{
public:
    explicit CFileHandle(HANDLE hFile) : m_hFile(hFile) {}
    ~CFileHandle()
    {
        if (IsValid())
        {
            ::CloseHandle(m_hFile);
        }
    }
    CFileHandle(const CFileHandle&) = delete;
    CFileHandle& operator=(const CFileHandle&) = delete;
    HANDLE Get() const { return m_hFile; }
    bool IsValid() const { return m_hFile != INVALID_HANDLE_VALUE; }

private:
    HANDLE m_hFile;
};

// A file on a disk opened for reading; INVALID_HANDLE_VALUE with the reason for anything else.
HANDLE OpenFileForReading(const std::string& strPath, std::string& strError)
{
    const DWORD nAttributes = ::GetFileAttributesA(strPath.c_str());
    if (nAttributes != INVALID_FILE_ATTRIBUTES && (nAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
    {
        strError = "it is a folder";
        return INVALID_HANDLE_VALUE;
    }
    const HANDLE hFile = ::CreateFileA(strPath.c_str(), GENERIC_READ,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (hFile == INVALID_HANDLE_VALUE)
    {
        strError = SystemErrorText(::GetLastError());
        return INVALID_HANDLE_VALUE;
    }
    if (::GetFileType(hFile) != FILE_TYPE_DISK)
    {
        ::CloseHandle(hFile);
        strError = "it is a device or a pipe, not a file";
        return INVALID_HANDLE_VALUE;
    }
    return hFile;
}
} // namespace

CInputFile::CInputFile(const std::string& strPath)
{
    const HANDLE hFile = OpenFileForReading(strPath, m_strError);
    if (hFile == INVALID_HANDLE_VALUE)
    {
        return;
    }
    m_hFile = reinterpret_cast<std::intptr_t>(hFile);
    LARGE_INTEGER nSize = {};
    if (::GetFileSizeEx(hFile, &nSize))
    {
        m_nSize = nSize.QuadPart;
    }
}

CInputFile::~CInputFile()
{
    if (IsOpen())
    {
        ::CloseHandle(reinterpret_cast<HANDLE>(m_hFile));
    }
}

int64_t CInputFile::Read(void* pData, size_t nSize)
{
    DWORD nChunk = 0;
    const DWORD nWanted = static_cast<DWORD>(std::min<size_t>(nSize, 1u << 30));
    if (!::ReadFile(reinterpret_cast<HANDLE>(m_hFile), pData, nWanted, &nChunk, nullptr))
    {
        return -1;
    }
    return nChunk;
}

bool ReadWholeFile(const std::string& strPath, std::vector<uint8_t>& data, std::string& strError)
{
    CFileHandle file(OpenFileForReading(strPath, strError));
    LARGE_INTEGER nSize = {};
    if (!file.IsValid())
    {
        return false;
    }
    if (!::GetFileSizeEx(file.Get(), &nSize))
    {
        strError = SystemErrorText(::GetLastError());
        return false;
    }
    if (!MakeRoomForWholeFile(static_cast<uint64_t>(std::max<int64_t>(nSize.QuadPart, 0)), data,
                              strError))
    {
        return false;
    }
    size_t nRead = 0;
    while (nRead < data.size())
    {
        const DWORD nWanted = static_cast<DWORD>(std::min<size_t>(data.size() - nRead, 1u << 30));
        DWORD nChunk = 0;
        if (!::ReadFile(file.Get(), data.data() + nRead, nWanted, &nChunk, nullptr) || nChunk == 0)
        {
            strError = nChunk == 0 ? "the file could not be read whole"
                                   : SystemErrorText(::GetLastError());
            return false;
        }
        nRead += nChunk;
    }
    return true;
}

bool WriteAllTo(int fd, const void* pData, size_t nSize)
{
    // Through the system handle: the C runtime's text mode would turn "\n" into "\r\n".
    const auto hFile = reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
    if (hFile == INVALID_HANDLE_VALUE)
    {
        errno = EBADF;
        return false;
    }
    const auto* pBytes = static_cast<const unsigned char*>(pData);
    size_t nWritten = 0;
    while (nWritten < nSize)
    {
        const DWORD nWanted = static_cast<DWORD>(std::min<size_t>(nSize - nWritten, 1u << 30));
        DWORD nChunk = 0;
        if (!::WriteFile(hFile, pBytes + nWritten, nWanted, &nChunk, nullptr) || nChunk == 0)
        {
            errno = EIO;
            return false;
        }
        nWritten += nChunk;
    }
    return true;
}

COutputFile::~COutputFile()
{
    Discard();
}

void COutputFile::Discard()
{
    if (m_fd >= 0)
    {
        ::_close(m_fd);
        m_fd = -1;
    }
    if (!m_strTemporary.empty())
    {
        ::DeleteFileA(m_strTemporary.c_str());
        m_strTemporary.clear();
    }
}

void COutputFile::PrepareStandardOutput()
{
    Discard();
    m_strPath.assign(1, '-'); // not assigned from a literal: GCC 12 warns wrongly at -O3
    m_eKind = EKind::StandardOutput;
}

bool COutputFile::Prepare(const std::string& strPath, std::string& strError)
{
    Discard();
    m_strPath = strPath;
    m_strTarget = strPath;
    m_eKind = EKind::None;
    const DWORD nAttributes = ::GetFileAttributesA(strPath.c_str());
    if (nAttributes != INVALID_FILE_ATTRIBUTES && (nAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
    {
        strError = std::strerror(EISDIR);
        return false;
    }
    // As copy does: a read-only file is not replaced behind the user's back.
    if (nAttributes != INVALID_FILE_ATTRIBUTES && (nAttributes & FILE_ATTRIBUTE_READONLY) != 0)
    {
        strError = std::strerror(EACCES);
        return false;
    }
    m_eKind = EKind::File;
    return true;
}

bool COutputFile::Commit(const void* pData, size_t nSize, std::string& strError)
{
    if (m_eKind == EKind::StandardOutput)
    {
        if (!WriteAllTo(1, pData, nSize))
        {
            strError = std::strerror(errno);
            return false;
        }
        return true;
    }
    if (!Prepare(m_strPath, strError))
    {
        return false;
    }
    return WriteFile(pData, nSize, strError);
}

bool COutputFile::WriteFile(const void* pData, size_t nSize, std::string& strError)
{
    // Beside the target, so that the move stays within one volume; under a short name, so that
    // a long name that is valid stays valid.
    const size_t nSlash = m_strTarget.find_last_of("/\\");
    const std::string strDir = nSlash == std::string::npos ? "" : m_strTarget.substr(0, nSlash + 1);
    const std::string strName =
        nSlash == std::string::npos ? m_strTarget : m_strTarget.substr(nSlash + 1);
    for (unsigned nTry = 0; nTry < 100 && m_fd < 0; ++nTry)
    {
        const std::string strTemporary = strDir + "." + strName.substr(0, 32) + "." +
                                         std::to_string(::GetCurrentProcessId()) + "-" +
                                         std::to_string(::GetTickCount64() + nTry);
        // Exclusive creation: an existing name is never written into.
        const HANDLE hFile = ::CreateFileA(strTemporary.c_str(), GENERIC_WRITE, 0, nullptr,
                                           CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (hFile == INVALID_HANDLE_VALUE)
        {
            if (::GetLastError() == ERROR_FILE_EXISTS)
            {
                continue;
            }
            strError = SystemErrorText(::GetLastError());
            return false;
        }
        m_fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(hFile), _O_BINARY | _O_WRONLY);
        if (m_fd < 0)
        {
            ::CloseHandle(hFile);
            ::DeleteFileA(strTemporary.c_str());
            strError = std::strerror(EMFILE);
            return false;
        }
        m_strTemporary = strTemporary;
    }
    if (m_fd < 0)
    {
        strError = std::strerror(EEXIST);
        return false;
    }
    const auto hFile = reinterpret_cast<HANDLE>(::_get_osfhandle(m_fd));
    bool bOk = WriteAllTo(m_fd, pData, nSize) && ::FlushFileBuffers(hFile) != FALSE;
    DWORD nError = bOk ? ERROR_SUCCESS : ::GetLastError();
    ::_close(m_fd);
    m_fd = -1;
    if (bOk)
    {
        bOk = ::MoveFileExA(m_strTemporary.c_str(), m_strTarget.c_str(),
                            MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
        nError = bOk ? ERROR_SUCCESS : ::GetLastError();
        if (bOk)
        {
            m_strTemporary.clear();
        }
    }
    if (!bOk)
    {
        strError = nError != ERROR_SUCCESS ? SystemErrorText(nError) : std::strerror(EIO);
        Discard();
    }
    return bOk;
}
