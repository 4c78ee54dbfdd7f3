#pragma once
// A private directory under the system's temporary directory, removed with its contents.

#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>

class CTempDir
{
public:
    CTempDir()
    {
        // A fresh name each try: create_directory makes it only if nothing is there yet.
        std::random_device random;
        for (int nTry = 0; nTry < 100; ++nTry)
        {
            const auto path = std::filesystem::temp_directory_path() /
                              ("quillon-lang-" + std::to_string(random()));
            if (std::filesystem::create_directory(path))
            {
                std::filesystem::permissions(path, std::filesystem::perms::owner_all,
                                             std::filesystem::perm_options::replace);
                m_path = path;
                return;
            }
        }
        throw std::runtime_error("no private temporary directory could be made");
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
