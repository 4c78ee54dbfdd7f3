#include "usb/WinHandle.h"

std::vector<uint8_t> ProcessUserSid(HANDLE hProcess)
{
    HANDLE hRawToken = nullptr;
    if (!::OpenProcessToken(hProcess, TOKEN_QUERY, &hRawToken))
    {
        return {};
    }
    const CWinHandle token(hRawToken);
    DWORD nSize = 0;
    ::GetTokenInformation(token.Get(), TokenUser, nullptr, 0, &nSize);
    std::vector<uint8_t> info(nSize);
    if (nSize == 0 || !::GetTokenInformation(token.Get(), TokenUser, info.data(), nSize, &nSize))
    {
        return {};
    }
    const PSID pSid = reinterpret_cast<const TOKEN_USER*>(info.data())->User.Sid;
    if (!::IsValidSid(pSid))
    {
        return {};
    }
    const auto* pBytes = static_cast<const uint8_t*>(pSid);
    return std::vector<uint8_t>(pBytes, pBytes + ::GetLengthSid(pSid));
}

bool RunsAsCurrentUser(DWORD nProcessId)
{
    const CWinHandle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, nProcessId));
    if (!process.IsValid())
    {
        return false;
    }
    const std::vector<uint8_t> other = ProcessUserSid(process.Get());
    const std::vector<uint8_t> own = ProcessUserSid(::GetCurrentProcess());
    return !own.empty() && other == own;
}

bool COwnerOnlySecurity::Build()
{
    m_sid = ProcessUserSid(::GetCurrentProcess());
    if (m_sid.empty())
    {
        return false;
    }
    const PSID pSid = m_sid.data();
    m_acl.resize(sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + ::GetLengthSid(pSid));
    auto* pAcl = reinterpret_cast<ACL*>(m_acl.data());
    if (!::InitializeAcl(pAcl, static_cast<DWORD>(m_acl.size()), ACL_REVISION) ||
        !::AddAccessAllowedAce(pAcl, ACL_REVISION, GENERIC_ALL, pSid) ||
        !::InitializeSecurityDescriptor(&m_descriptor, SECURITY_DESCRIPTOR_REVISION) ||
        !::SetSecurityDescriptorDacl(&m_descriptor, TRUE, pAcl, FALSE))
    {
        return false;
    }
    m_attributes.nLength = sizeof(m_attributes);
    m_attributes.lpSecurityDescriptor = &m_descriptor;
    m_attributes.bInheritHandle = FALSE;
    return true;
}

std::string SystemErrorText(DWORD nError)
{
    char* pszText = nullptr;
    const DWORD nLength = ::FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, nError, 0, reinterpret_cast<char*>(&pszText), 0, nullptr);
    std::string strText =
        nLength > 0 && pszText != nullptr ? std::string(pszText, nLength) : std::string();
    ::LocalFree(pszText);
    while (!strText.empty() && (strText.back() == '\n' || strText.back() == '\r' ||
                                strText.back() == '.' || strText.back() == ' '))
    {
        strText.pop_back();
    }
    return strText.empty() ? "error " + std::to_string(nError) : strText;
}
