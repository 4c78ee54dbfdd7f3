#include "usb/libusb/UsbBoardIds.h"
#include "usb/libusb/UsbIdsFile.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace
{
std::mutex& AddedMutex()
{
    static std::mutex mutex;
    return mutex;
}

std::vector<CUsbBoardId>& AddedIds()
{
    static std::vector<CUsbBoardId> ids;
    return ids;
}

bool ParseHex16(const std::string& strText, uint16_t* pnValue)
{
    if (strText.empty() || strText.size() > 4)
    {
        return false;
    }
    unsigned nValue = 0;
    for (char ch : strText)
    {
        unsigned nDigit = 0;
        if (ch >= '0' && ch <= '9')
        {
            nDigit = static_cast<unsigned>(ch - '0');
        }
        else if (ch >= 'a' && ch <= 'f')
        {
            nDigit = static_cast<unsigned>(ch - 'a' + 10);
        }
        else if (ch >= 'A' && ch <= 'F')
        {
            nDigit = static_cast<unsigned>(ch - 'A' + 10);
        }
        else
        {
            return false;
        }
        nValue = nValue * 16 + nDigit;
    }
    *pnValue = static_cast<uint16_t>(nValue);
    return true;
}

bool ParseOneId(const std::string& strWord, CUsbBoardId* pId)
{
    std::string strBody = strWord;
    const size_t nColon = strBody.find(':');
    if (nColon == std::string::npos)
    {
        return false;
    }
    return ParseHex16(strBody.substr(0, nColon), &pId->m_nVendor) &&
           ParseHex16(strBody.substr(nColon + 1), &pId->m_nProduct);
}

void AppendUnique(std::vector<CUsbBoardId>* pIds, const std::vector<CUsbBoardId>& more)
{
    for (const CUsbBoardId& id : more)
    {
        if (std::find(pIds->begin(), pIds->end(), id) == pIds->end())
        {
            pIds->push_back(id);
        }
    }
}
} // namespace

bool ParseUsbBoardIds(const std::string& strText, std::vector<CUsbBoardId>* pIds,
                      std::string* pstrError)
{
    bool bOk = true;
    std::string strWord;
    bool bInComment = false;
    auto flush = [&]()
    {
        if (strWord.empty())
        {
            return;
        }
        CUsbBoardId id;
        if (ParseOneId(strWord, &id))
        {
            pIds->push_back(id);
        }
        else if (bOk)
        {
            bOk = false;
            if (pstrError != nullptr)
            {
                *pstrError = strWord;
            }
        }
        strWord.clear();
    };
    for (char ch : strText)
    {
        if (bInComment)
        {
            bInComment = ch != '\n';
            continue;
        }
        if (ch == '#')
        {
            flush();
            bInComment = true;
        }
        else if (ch == ',' || ch == ' ' || ch == '\t' || ch == '\n' || ch == '\r')
        {
            flush();
        }
        else
        {
            strWord += ch;
        }
    }
    flush();
    return bOk;
}

bool AddUsbBoardIds(const std::string& strText, std::string* pstrError)
{
    std::vector<CUsbBoardId> ids;
    std::string strBad;
    if (!ParseUsbBoardIds(strText, &ids, &strBad) || ids.empty())
    {
        if (pstrError != nullptr)
        {
            *pstrError =
                "Not a USB id list (expected vvvv:pppp in hexadecimal, e.g. 1209:5150): \"" +
                (strBad.empty() ? strText : strBad) + "\"";
        }
        return false;
    }
    std::lock_guard<std::mutex> lock(AddedMutex());
    AppendUnique(&AddedIds(), ids);
    return true;
}

std::string GetUsbIdsConfigPath()
{
    const char* pszConfig = std::getenv("XDG_CONFIG_HOME");
    if (pszConfig != nullptr && *pszConfig == '/')
    {
        return std::string(pszConfig) + "/" + USB_IDS_CONFIG_FILE;
    }
    const char* pszHome = std::getenv("HOME");
    if (pszHome != nullptr && *pszHome != '\0')
    {
        return std::string(pszHome) + "/.config/" + USB_IDS_CONFIG_FILE;
    }
    return {};
}

std::vector<CUsbBoardId> GetUsbBoardIds()
{
    std::vector<CUsbBoardId> ids(std::begin(USB_DEFAULT_BOARD_IDS),
                                 std::end(USB_DEFAULT_BOARD_IDS));

    // A malformed word in the file or the variable costs only that word; listing boards must
    // not fail because of a typo in a user's configuration.
    AppendUnique(&ids, CachedIdsOfFile(GetUsbIdsConfigPath()));
    if (const char* pszEnv = std::getenv(USB_IDS_ENVIRONMENT); pszEnv != nullptr)
    {
        std::vector<CUsbBoardId> fromEnv;
        ParseUsbBoardIds(pszEnv, &fromEnv, nullptr);
        AppendUnique(&ids, fromEnv);
    }
    std::lock_guard<std::mutex> lock(AddedMutex());
    AppendUnique(&ids, AddedIds());
    return ids;
}

bool IsUsbBoardId(const std::vector<CUsbBoardId>& ids, uint16_t nVendor, uint16_t nProduct)
{
    return std::find(ids.begin(), ids.end(), CUsbBoardId{nVendor, nProduct}) != ids.end();
}

std::string FormatUsbBoardId(const CUsbBoardId& id)
{
    char szText[10];
    std::snprintf(szText, sizeof(szText), "%04x:%04x", id.m_nVendor, id.m_nProduct);
    return szText;
}

std::vector<std::string> UsbAccessProblems(bool bWait)
{
    std::vector<std::string> problems;
    for (const CUsbRefusedBoard& board : UsbRefusedBoards(bWait))
    {
        problems.push_back(board.m_strMessage);
    }
    return problems;
}
