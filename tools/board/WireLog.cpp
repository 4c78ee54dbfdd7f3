#include "board/WireLog.h"

#include <cerrno>
#include <cstring>

CWireLog::~CWireLog()
{
    if (m_pFile != nullptr)
    {
        std::fclose(m_pFile);
    }
}

bool CWireLog::Open(const std::string& strPath)
{
    m_pFile = OpenLogFile(strPath);
    return m_pFile != nullptr;
}

int CWireLog::FailedWith() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_nFailedWith;
}

void CWireLog::SayFailures()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bSayFailures = true;
}

void CWireLog::CheckWritten(bool bWritten)
{
    if ((bWritten && std::fflush(m_pFile) == 0) || m_nFailedWith != 0)
    {
        return;
    }
    m_nFailedWith = errno != 0 ? errno : EIO;
    if (m_bSayFailures)
    {
        std::fprintf(stderr, "quillon-board: cannot write the log: %s; lines are lost from here\n",
                     std::strerror(m_nFailedWith));
    }
}

bool CWireLog::Reserve(size_t nLength)
{
    if (m_bTruncated)
    {
        return false;
    }
    if (m_nLimit != 0 && m_nWritten + nLength > m_nLimit)
    {
        m_bTruncated = true;
        std::fprintf(m_pFile,
                     "log truncated: this run reached its limit of %llu bytes (--log-limit)\n",
                     static_cast<unsigned long long>(m_nLimit));
        std::fflush(m_pFile);
        return false;
    }
    m_nWritten += nLength;
    return true;
}

void CWireLog::Line(const std::string& strBoard, const std::string& strText)
{
    if (m_pFile == nullptr)
    {
        return;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!Reserve(strBoard.size() + strText.size() + 2))
    {
        return;
    }
    errno = 0;
    CheckWritten(std::fprintf(m_pFile, "%s %s\n", strBoard.c_str(), strText.c_str()) >= 0);
}

void CWireLog::Bytes(const std::string& strBoard, const char* pszDirection, const uint8_t* pData,
                     size_t nCount)
{
    if (m_pFile == nullptr)
    {
        return;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    const size_t nHead = strBoard.size() + std::strlen(pszDirection) + 2;
    // Checked before the line is built: once the log is full, bytes cost nothing here.
    if (!Reserve(nHead + 2 * nCount + 1))
    {
        return;
    }
    static constexpr char DIGITS[] = "0123456789abcdef";
    std::string strLine = strBoard + " " + pszDirection + " ";
    strLine.resize(nHead + 2 * nCount + 1);
    for (size_t i = 0; i < nCount; ++i)
    {
        strLine[nHead + 2 * i] = DIGITS[pData[i] >> 4];
        strLine[nHead + 2 * i + 1] = DIGITS[pData[i] & 0x0F];
    }
    strLine.back() = '\n';
    errno = 0;
    CheckWritten(std::fwrite(strLine.data(), 1, strLine.size(), m_pFile) == strLine.size());
}
