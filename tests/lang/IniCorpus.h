#pragma once
// A corpus of awkward INI files with what the platform's reader gives for each: read by our own
// reader everywhere, and on Windows compared with the system's.

#include <ostream>
#include <string>
#include <vector>

// What lies at the path being read.
enum class EPathKind
{
    REGULAR_FILE,
    DIRECTORY,
    NOTHING,
};

struct CIniCase
{
    const char* m_pszName;
    std::string m_strContents;
    std::string m_strSection;
    std::string m_strKey;
    std::string m_strDefault;
    std::string m_strExpected;
    EPathKind m_eKind = EPathKind::REGULAR_FILE;
};

// Names the case in test output instead of dumping its bytes.
inline void PrintTo(const CIniCase& test, std::ostream* pStream)
{
    *pStream << test.m_pszName;
}

inline std::string Utf16Le(const std::u16string& strText)
{
    std::string strBytes = "\xFF\xFE";
    for (char16_t c : strText)
    {
        strBytes += static_cast<char>(c & 0xFF);
        strBytes += static_cast<char>(c >> 8);
    }
    return strBytes;
}

inline const std::string LONG_300(300, 'x');
inline const std::string LONG_254(254, 'x');

inline std::vector<CIniCase> IniCorpus()
{
    return {
        {"plain", "[S]\nK=v\n", "S", "K", "d", "v"},
        {"names_ignore_case", "[LanG_GerMan]\nKey=v\n", "lang_german", "KEY", "d", "v"},
        {"requested_names_lose_spaces", "[S]\nK=v\n", "  S ", " K  ", "d", "v"},
        {"requested_names_keep_tabs", "[S]\nK=v\n", "S", "\tK", "d", "d"},
        {"crlf_lines", "[S]\r\nA=1\r\nK=v\r\n", "S", "K", "d", "v"},
        {"cr_only_lines", "[S]\rA=1\rK=v\r", "S", "K", "d", "v"},
        {"mixed_line_end_runs", "[S]\r\r\n\n\rA=1\n\r\nK=v", "S", "K", "d", "v"},
        {"no_final_line_end", "[S]\nK=last", "S", "K", "d", "last"},
        {"blanks_inside_brackets", "[ \t S \t]\nK=v\n", "S", "K", "d", "v"},
        {"header_without_bracket", "[S\nK=v\n", "S", "K", "d", "v"},
        {"text_after_header", "[S] trailing ; words\nK=v\n", "S", "K", "d", "v"},
        {"indented_header", " \t [S]\nK=v\n", "S", "K", "d", "v"},
        {"empty_section_name", "[]\nK=v\n", "", "K", "d", "v"},
        {"blanks_around_key_and_value", "[S]\n \t K \v=  \t v w \t \n", "S", "K", "d", "v w"},
        {"split_at_first_equals", "[S]\nK2 = a = b \n", "S", "K2", "d", "a = b"},
        {"no_inline_comments", "[S]\nKey=val ; x\n", "S", "Key", "d", "val ; x"},
        {"comment_line", "[S]\n;K=v\n", "S", "K", "d", "d"},
        {"indented_comment_line", "[S]\n \t;K=v\nK=w\n", "S", "K", "d", "w"},
        {"hash_is_a_key", "[S]\n#Key=v\n", "S", "#Key", "d", "v"},
        {"keys_before_any_section", "K=v\n[S]\n", "S", "K", "d", "d"},
        {"keys_before_any_section_nameless", "K=v\n[S]\n", "", "K", "d", "d"},
        {"first_section_of_a_name", "[S]\nA=1\n[T]\nB=2\n[s]\nA=2\nC=3\n", "S", "A", "d", "1"},
        {"later_duplicate_section_ignored", "[S]\nA=1\n[T]\n[S]\nC=3\n", "S", "C", "d", "d"},
        {"first_key_wins", "[S]\nk=1\nK=2\n", "S", "K", "d", "1"},
        {"other_section_not_searched", "[T]\nK=t\n[S]\nA=1\n", "S", "K", "d", "d"},
        {"double_quotes_removed", "[S]\nK=\"a b\"\n", "S", "K", "d", "a b"},
        {"single_quotes_removed", "[S]\nK='a'\n", "S", "K", "d", "a"},
        {"inner_quote_kept", "[S]\nK=\"a\"b\"\n", "S", "K", "d", "a\"b"},
        {"mixed_quotes_kept", "[S]\nK=\"val'\n", "S", "K", "d", "\"val'"},
        {"empty_quotes", "[S]\nK=\"\"\n", "S", "K", "d", ""},
        {"lone_quote", "[S]\nK=\"\n", "S", "K", "d", "\""},
        {"quotes_keep_inner_blanks", "[S]\nK=  \" padded \"  \n", "S", "K", "d", " padded "},
        {"empty_value_is_not_missing", "[S]\nK=\n", "S", "K", "d", ""},
        {"line_without_equals", "[S]\nK\n", "S", "K", "d", "d"},
        {"missing_key", "[S]\nA=1\n", "S", "K", "dflt", "dflt"},
        {"missing_section", "[T]\nK=1\n", "S", "K", "dflt", "dflt"},
        {"default_loses_trailing_spaces", "[S]\n", "S", "K", "dflt  ", "dflt"},
        {"default_loses_only_spaces", "[S]\n", "S", "K", "dflt\t ", "dflt\t"},
        {"default_keeps_leading_blanks", "[S]\n", "S", "K", " \tdflt", " \tdflt"},
        {"value_truncated", "[S]\nK=" + LONG_300 + "\n", "S", "K", "d", LONG_254},
        {"value_of_254_whole", "[S]\nK=" + LONG_254 + "\n", "S", "K", "d", LONG_254},
        {"truncation_keeps_whole_characters", "[S]\nK=" + std::string(253, 'a') + "\xC3\xA9\n", "S",
         "K", "d", std::string(253, 'a')},
        {"long_default_truncated", "", "S", "K", LONG_300, LONG_254},
        {"utf8_byte_order_mark", "\xEF\xBB\xBF[S]\nK=v\n", "S", "K", "d", "v"},
        {"utf8_value_bytes_kept",
         "[S]\nK=Schlie\xC3\x9F"
         "en\n",
         "S", "K", "d",
         "Schlie\xC3\x9F"
         "en"},
        {"utf16le_file", Utf16Le(u"[S]\r\nK=Gr\u00FC\u00DFe\r\n"), "S", "K", "d",
         "Gr\xC3\xBC\xC3\x9F"
         "e"},
        {"value_ends_at_nul", std::string("[S]\nK=ab\0cd\n", 12), "S", "K", "d", "ab"},
        {"empty_file", "", "S", "K", "d", "d"},
        {"directory_at_the_path", "", "S", "K", "d", "d", EPathKind::DIRECTORY},
        {"nothing_at_the_path", "", "S", "K", "d", "d", EPathKind::NOTHING},
    };
}
