// What differs on Windows, at each seam: the language value from the registry, the INI file
// through the system's reader, board locks between handles, files written whole (bytes as
// they are, no text mode), and the program's own folder and name.

#include "app/FileOutput.h"
#include "app/ProgramPlace.h"
#include "lang/IniFile.h"
#include "lang/LanguageStore.h"
#include "lang/LanguageStrings.h"
#include "usb/BoardLock.h"

#include "TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <windows.h>

namespace
{
const char* const LANGUAGE_KEY = "Software\\corvane\\TesselV3_ARM\\Info";

// The registry value as another product leaves it: absent (no key), or bytes of a type.
struct CStoredValue
{
    bool m_bPresent = false;
    DWORD m_nType = REG_SZ;
    std::string m_strBytes; // written as they are; REG_SZ gets its terminating zero here
};

void StoreLanguage(const CStoredValue& value)
{
    ::RegDeleteKeyA(HKEY_CURRENT_USER, LANGUAGE_KEY);
    if (!value.m_bPresent)
    {
        return;
    }
    HKEY hKey = nullptr;
    ASSERT_EQ(::RegCreateKeyExA(HKEY_CURRENT_USER, LANGUAGE_KEY, 0, nullptr, 0, KEY_WRITE, nullptr,
                                &hKey, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(::RegSetValueExA(hKey, "CurrentLanguage", 0, value.m_nType,
                               reinterpret_cast<const BYTE*>(value.m_strBytes.data()),
                               static_cast<DWORD>(value.m_strBytes.size())),
              ERROR_SUCCESS);
    ::RegCloseKey(hKey);
}

CStoredValue Sz(const std::string& strText)
{
    CStoredValue value;
    value.m_bPresent = true;
    value.m_strBytes = strText + std::string(1, '\0');
    return value;
}

CStoredValue Binary(const std::string& strBytes)
{
    CStoredValue value;
    value.m_bPresent = true;
    value.m_nType = REG_BINARY;
    value.m_strBytes = strBytes;
    return value;
}

CStoredValue NoKey()
{
    return CStoredValue();
}

class WindowsLanguageTest : public ::testing::Test
{
protected:
    void TearDown() override
    {
        ::RegDeleteKeyA(HKEY_CURRENT_USER, LANGUAGE_KEY);
        CLanguageStrings::Instance().Reset();
    }
};

TEST_F(WindowsLanguageTest, TheRegistryValueChoosesTheLanguage)
{
    const std::string STANDARD_IDS = "[LANG_ENGLISH]\nid=ENGLISH\n[LANG_GERMAN]\nid=German\n"
                                     "[LANG_FRENCH]\nid=FRENCH\n[LANG_SPANISH]\nid=SPANISH\n"
                                     "[LANG_DUTCH]\nid=DUTCH\n";
    struct CCase
    {
        const char* m_pszName;
        CStoredValue m_value;
        std::string m_strIni;
        int m_nExpected;
    };
    const std::vector<CCase> CASES = {
        {"letter_case_ignored", Sz("gErMaN"), STANDARD_IDS, LANGUAGE_GERMAN},
        {"any_value_type", Binary("DUTCH"), STANDARD_IDS, LANGUAGE_DUTCH},
        {"up_to_the_first_zero", Binary(std::string("FRENCH\0xx", 9)), STANDARD_IDS,
         LANGUAGE_FRENCH},
        {"no_key_no_match", NoKey(), STANDARD_IDS, LANGUAGE_ENGLISH},
        {"present_but_empty_keeps", Sz(""), "[LANG_ENGLISH]\nid=E\n[LANG_SPANISH]\nid=\n",
         LANGUAGE_ENGLISH},
        {"no_key_matches_an_empty_id", NoKey(), "[LANG_ENGLISH]\nid=E\n[LANG_SPANISH]\nid=\n",
         LANGUAGE_SPANISH},
        // 32 characters and the zero do not fit the 32-byte buffer: unreadable, so empty.
        {"too_long_is_unreadable", Sz(std::string(32, 'D')),
         "[LANG_ENGLISH]\nid=E\n[LANG_DUTCH]\nid=\n", LANGUAGE_DUTCH},
        {"exactly_fills_the_buffer", Binary(std::string(32, 'F')),
         "[LANG_ENGLISH]\nid=E\n[LANG_FRENCH]\nid=" + std::string(32, 'f') + "\n", LANGUAGE_FRENCH},
        {"lower_index_wins", Sz("X"), "[LANG_GERMAN]\nid=x\n[LANG_FRENCH]\nid=X\n",
         LANGUAGE_GERMAN},
    };
    CTempDir dir;
    for (const CCase& row : CASES)
    {
        SCOPED_TRACE(row.m_pszName);
        StoreLanguage(row.m_value);
        CLanguageStrings& strings = CLanguageStrings::Instance();
        strings.Reset();
        strings.Open(dir.Write("quillon.ini", row.m_strIni), LANGUAGE_ENGLISH);
        EXPECT_EQ(strings.SelectLanguageFromRegistry(), row.m_nExpected);
    }
}

TEST(WindowsIniTest, TheSystemReaderAnswersThroughTheIniFile)
{
    CTempDir dir;
    const std::string strPath =
        dir.Write("quillon.ini", "[Info]\nKey=value\nEmpty=\nOdd=\x01\n[LANG_ENGLISH]\nLong=" +
                                     std::string(300, 'x') + "\n");
    const CIniFile ini(strPath);
    struct CCase
    {
        const char* m_pszSection;
        const char* m_pszKey;
        std::optional<std::string> m_found;
    };
    const CCase CASES[] = {
        {"info", "KEY", "value"},
        {"Info", "Empty", ""},
        {"Info", "Odd", "\x01"}, // a value equal to one of FindString's probes
        {"Info", "Missing", std::nullopt},
        {"Nowhere", "Key", std::nullopt},
        {"LANG_ENGLISH", "Long", std::string(INI_VALUE_BUFFER - 1, 'x')},
    };
    for (const CCase& row : CASES)
    {
        SCOPED_TRACE(std::string(row.m_pszSection) + "/" + row.m_pszKey);
        EXPECT_EQ(ini.FindString(row.m_pszSection, row.m_pszKey), row.m_found);
        EXPECT_EQ(ini.ReadString(row.m_pszSection, row.m_pszKey, "dflt"),
                  row.m_found.value_or("dflt"));
    }
    EXPECT_EQ(CIniFile(dir.Path("absent.ini")).FindString("Info", "Key"), std::nullopt);

    // A relative name is the current folder's, not the Windows folder's.
    const std::filesystem::path previous = std::filesystem::current_path();
    std::filesystem::current_path(dir.m_path);
    const std::string strRelative = CIniFile("quillon.ini").ReadString("Info", "Key", "dflt");
    std::filesystem::current_path(previous);
    EXPECT_EQ(strRelative, "value");
}

TEST(WindowsBoardLockTest, OneHolderPerBoardAndItsProcessIsNamed)
{
    const std::string strBoard = "usb:test-" + std::to_string(::GetCurrentProcessId());
    CBoardLock first = CBoardLock::TryLock(strBoard);
    ASSERT_EQ(first.State(), EBoardLock::Held) << first.Error();

    struct CCase
    {
        const char* m_pszName;
        std::string m_strPath;
        EBoardLock m_expected;
        pid_t m_nHolder;
    };
    const CCase WHILE_HELD[] = {
        {"same_board_busy", strBoard, EBoardLock::Busy,
         static_cast<pid_t>(::GetCurrentProcessId())},
        {"other_board_free", strBoard + "-other", EBoardLock::Held, 0},
    };
    for (const CCase& row : WHILE_HELD)
    {
        SCOPED_TRACE(row.m_pszName);
        const CBoardLock second = CBoardLock::TryLock(row.m_strPath);
        EXPECT_EQ(second.State(), row.m_expected) << second.Error();
        EXPECT_EQ(second.Holder(), row.m_nHolder);
    }

    CBoardLock moved = std::move(first);
    EXPECT_EQ(CBoardLock::TryLock(strBoard).State(), EBoardLock::Busy);
    moved.Release();
    EXPECT_EQ(CBoardLock::TryLock(strBoard).State(), EBoardLock::Held);
}

std::string ReadBack(const std::string& strPath)
{
    std::vector<uint8_t> data;
    std::string strError;
    if (!ReadWholeFile(strPath, data, strError))
    {
        return "<" + strError + ">";
    }
    return std::string(data.begin(), data.end());
}

size_t FileCount(const std::filesystem::path& dir)
{
    size_t nCount = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir))
    {
        ++nCount;
    }
    return nCount;
}

TEST(WindowsFileTest, FilesAreWrittenWholeAndByteForByte)
{
    // Line ends and Ctrl-Z would be changed or cut by the C runtime's text mode.
    const std::string BYTES = std::string("a\nb\r\nc\x1a"
                                          "d\0e",
                                          9);
    struct CCase
    {
        const char* m_pszName;
        bool m_bExisting;
        bool m_bCommit;
        std::string m_strExpected;
    };
    const CCase CASES[] = {
        {"new_file", false, true, BYTES},
        {"replaces_old", true, true, BYTES},
        {"uncommitted_keeps_old", true, false, "old"},
        {"uncommitted_leaves_nothing", false, false, "<"},
    };
    for (const CCase& row : CASES)
    {
        SCOPED_TRACE(row.m_pszName);
        CTempDir dir;
        const std::string strPath = dir.Path("out.bin");
        if (row.m_bExisting)
        {
            dir.Write("out.bin", "old");
        }
        {
            COutputFile file;
            std::string strError;
            ASSERT_TRUE(file.Prepare(strPath, strError)) << strError;
            if (row.m_bCommit)
            {
                ASSERT_TRUE(file.Commit(BYTES.data(), BYTES.size(), strError)) << strError;
            }
        }
        EXPECT_EQ(ReadBack(strPath).substr(0, row.m_strExpected.size()), row.m_strExpected);
        // No temporary file is left beside it.
        EXPECT_EQ(FileCount(dir.m_path), row.m_bExisting || row.m_bCommit ? 1u : 0u);
    }
}

TEST(WindowsFileTest, ReadingAndOpeningSayWhatIsWrong)
{
    CTempDir dir;
    dir.Write("empty.bin", "");
    std::filesystem::create_directory(dir.m_path / "folder");
    EXPECT_EQ(ReadBack(dir.Path("empty.bin")), "<the file is empty>");
    // The system's own words for a missing file (they differ between Windows and Wine).
    const std::string strMissing = ReadBack(dir.Path("missing.bin"));
    EXPECT_EQ(strMissing.front(), '<');
    EXPECT_GT(strMissing.size(), 2u);
    EXPECT_NE(strMissing, "<the file is empty>");
    COutputFile file;
    std::string strError;
    EXPECT_FALSE(file.Prepare(dir.Path("folder"), strError));
    EXPECT_FALSE(strError.empty());
}

TEST(WindowsProgramTest, TheProgramKnowsItsFolderAndName)
{
    struct CCase
    {
        const char* m_pszPath;
        const char* m_pszName;
    };
    const CCase CASES[] = {
        {"C:\\Program Files\\Quillon\\quillon.exe", "quillon"},
        {"quillon.EXE", "quillon"},
        {"Z:/work/build/quillon-board.exe", "quillon-board"},
        {"tools\\quillon.exe.old", "quillon.exe.old"},
        {".exe", ".exe"},
        {"C:\\folder\\", ""},
    };
    for (const CCase& row : CASES)
    {
        SCOPED_TRACE(row.m_pszPath);
        EXPECT_EQ(ProgramNameOf(row.m_pszPath), row.m_pszName);
    }

    std::string strDir;
    std::string strName;
    ASSERT_TRUE(GetProgramPlace(strDir, strName));
    EXPECT_EQ(strName, "windows_seam_tests");
    ASSERT_FALSE(strDir.empty());
    EXPECT_EQ(strDir.back(), '\\');
    EXPECT_TRUE(std::filesystem::exists(strDir + strName + ".exe"));
}
// The manifest makes UTF-8 the code page: names in narrow strings reach the file system as the
// characters they are, whatever the user's language.
TEST(WindowsManifestTest, NarrowNamesAreUtf8)
{
    EXPECT_EQ(::GetACP(), 65001u);
    CTempDir dir;
    const std::string strName = "Gr\xC3\xBC\xC3\x9F"
                                "e \xE2\x82\xAC.bin";
    COutputFile file;
    std::string strError;
    ASSERT_TRUE(file.Prepare(dir.m_path.string() + "\\" + strName, strError)) << strError;
    ASSERT_TRUE(file.Commit("x", 1, strError)) << strError;
    EXPECT_TRUE(std::filesystem::exists(dir.m_path / std::filesystem::u8path(strName)));
    EXPECT_EQ(ReadBack(dir.m_path.string() + "\\" + strName), "x");
}
} // namespace
