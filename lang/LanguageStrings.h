#pragma once
// The process-wide language object: the open language file, the current language and
// lookups of texts by numeric id, falling back to the built-in English table.

#include "lang/IniFile.h"

#include <memory>
#include <string>

enum
{
    LANGUAGE_ENGLISH = 0,
    LANGUAGE_GERMAN = 1,
    LANGUAGE_FRENCH = 2,
    LANGUAGE_SPANISH = 3,
    LANGUAGE_DUTCH = 4,
};

class CLanguageStrings
{
public:
    static CLanguageStrings& Instance();

    int Open(const std::string& strPath, int nLanguage);
    int SetLanguage(int nLanguage);
    int SelectLanguageFromRegistry();
    std::string GetString(int nId) const;
    static std::string LanguageSection(int nLanguage);

    // Back to the state of a fresh object: no file, English (tests and repeated start-ups).
    void Reset();

    int m_nLanguage = LANGUAGE_ENGLISH;
    std::string m_strSection = "LANG_ENGLISH";

private:
    CLanguageStrings() = default;
    std::unique_ptr<CIniFile> m_pIniFile;
};
