#pragma once
// A private directory under the system's temporary directory, removed with its contents.

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

class CTempDir
{
public:
    CTempDir()
    {
        std::string strTemplate =
            (std::filesystem::temp_directory_path() / "quillon-lang-XXXXXX").string();
        if (mkdtemp(strTemplate.data()) == nullptr)
            throw std::runtime_error("mkdtemp failed");
        m_path = strTemplate;
    }
    ~CTempDir()
    {
        std::error_code error;
        std::filesystem::remove_all(m_path, error);
    }
    CTempDir(const CTempDir&) = delete;
    CTempDir& operator=(const CTempDir&) = delete;

    std::string Write(const std::string& strName, const std::string& strContents) const
    {
        const std::filesystem::path path = m_path / strName;
        std::filesystem::create_directories(path.parent_path());
        std::ofstream file(path, std::ios::binary | std::ios::trunc);
        file.write(strContents.data(), static_cast<std::streamsize>(strContents.size()));
        return path.string();
    }
    std::string Path(const std::string& strName) const { return (m_path / strName).string(); }

    std::filesystem::path m_path;
};

// Sets an environment variable for one scope and puts back what was there before.
class CScopedEnv
{
public:
    CScopedEnv(const char* pszName, const char* pszValue) : m_strName(pszName)
    {
        if (const char* pszOld = std::getenv(pszName))
        {
            m_bHadValue = true;
            m_strOld = pszOld;
        }
        if (pszValue != nullptr)
            setenv(pszName, pszValue, 1);
        else
            unsetenv(pszName);
    }
    ~CScopedEnv()
    {
        if (m_bHadValue)
            setenv(m_strName.c_str(), m_strOld.c_str(), 1);
        else
            unsetenv(m_strName.c_str());
    }
    CScopedEnv(const CScopedEnv&) = delete;
    CScopedEnv& operator=(const CScopedEnv&) = delete;

private:
    std::string m_strName;
    std::string m_strOld;
    bool m_bHadValue = false;
};
