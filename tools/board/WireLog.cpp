#include "board/WireLog.h"

CWireLog::~CWireLog()
{
    if (m_pFile != nullptr)
    {
        std::fclose(m_pFile);
    }
}

bool CWireLog::Open(const std::string& strPath)
{
    m_pFile = std::fopen(strPath.c_str(), "ae");
    return m_pFile != nullptr;
}

void CWireLog::Line(const std::string& strBoard, const std::string& strText)
{
    if (m_pFile == nullptr)
    {
        return;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    std::fprintf(m_pFile, "%s %s\n", strBoard.c_str(), strText.c_str());
    std::fflush(m_pFile);
}

void CWireLog::Bytes(const std::string& strBoard, const char* pszDirection, const uint8_t* pData,
                     size_t nCount)
{
    if (m_pFile == nullptr)
    {
        return;
    }
    static constexpr char DIGITS[] = "0123456789abcdef";
    std::string strLine = strBoard + " " + pszDirection + " ";
    const size_t nHead = strLine.size();
    strLine.resize(nHead + 2 * nCount + 1);
    for (size_t i = 0; i < nCount; ++i)
    {
        strLine[nHead + 2 * i] = DIGITS[pData[i] >> 4];
        strLine[nHead + 2 * i + 1] = DIGITS[pData[i] & 0x0F];
    }
    strLine.back() = '\n';
    std::lock_guard<std::mutex> lock(m_mutex);
    std::fwrite(strLine.data(), 1, strLine.size(), m_pFile);
    std::fflush(m_pFile);
}
