// Intel HEX and Motorola S-record files: text lines of hexadecimal records, each with its own
// length and checksum.

#include "image/FirmwareImageParts.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace FirmwareParts
{
namespace
{
int HexDigit(uint8_t c)
{
    if (c >= '0' && c <= '9')
    {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F')
    {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f')
    {
        return c - 'a' + 10;
    }
    return -1;
}

constexpr uint8_t UTF8_BOM[] = {0xEF, 0xBB, 0xBF};
// How much of a file's start decides whether it is record text.
constexpr size_t TEXT_WINDOW = 4096;

bool StartsWithUtf8Bom(const uint8_t* pData, size_t nSize)
{
    return nSize >= sizeof UTF8_BOM && std::memcmp(pData, UTF8_BOM, sizeof UTF8_BOM) == 0;
}

// Splits text into lines at "\n", "\r\n" or "\r", with blanks and tabs taken off both ends
// and UTF-8's byte-order mark off the first.
class CLineReader
{
public:
    CLineReader(const uint8_t* pData, size_t nSize) : m_pData(pData), m_nSize(nSize)
    {
        if (StartsWithUtf8Bom(pData, nSize))
        {
            m_nPos = sizeof UTF8_BOM;
        }
    }

    bool Next(const uint8_t*& pLine, size_t& nLength)
    {
        if (m_nPos >= m_nSize)
        {
            return false;
        }
        ++m_nLine;
        const size_t nStart = m_nPos;
        while (m_nPos < m_nSize && m_pData[m_nPos] != '\n' && m_pData[m_nPos] != '\r')
        {
            ++m_nPos;
        }
        size_t nEnd = m_nPos;
        if (m_nPos < m_nSize && m_pData[m_nPos] == '\r')
        {
            ++m_nPos;
        }
        if (m_nPos < m_nSize && m_pData[m_nPos] == '\n')
        {
            ++m_nPos;
        }
        size_t nFirst = nStart;
        while (nFirst < nEnd && (m_pData[nFirst] == ' ' || m_pData[nFirst] == '\t'))
        {
            ++nFirst;
        }
        while (nEnd > nFirst && (m_pData[nEnd - 1] == ' ' || m_pData[nEnd - 1] == '\t'))
        {
            --nEnd;
        }
        pLine = m_pData + nFirst;
        nLength = nEnd - nFirst;
        return true;
    }

    size_t Line() const { return m_nLine; }

private:
    const uint8_t* m_pData;
    size_t m_nSize;
    size_t m_nPos = 0;
    size_t m_nLine = 0;
};

// The bytes of a record's hexadecimal digits; false when a digit is not one or one is alone.
bool DecodeHexPairs(const uint8_t* pText, size_t nLength, std::vector<uint8_t>& bytes)
{
    bytes.clear();
    if (nLength % 2 != 0)
    {
        return false;
    }
    for (size_t n = 0; n < nLength; n += 2)
    {
        const int nHigh = HexDigit(pText[n]);
        const int nLow = HexDigit(pText[n + 1]);
        if (nHigh < 0 || nLow < 0)
        {
            return false;
        }
        bytes.push_back(static_cast<uint8_t>(nHigh * 16 + nLow));
    }
    return true;
}

std::string LineText(size_t nLine)
{
    return "line " + std::to_string(nLine);
}

// The start of UTF-16 text (with its byte-order mark, or a NUL beside each of the first
// characters) narrowed to one byte a character, anything beyond ASCII as 0x80; false for
// anything else.
bool Utf16Text(const uint8_t* pData, size_t nSize, std::string& strText)
{
    size_t nPos = 0;
    bool bBigEndian = false;
    if (nSize >= 2 && pData[0] == 0xFF && pData[1] == 0xFE)
    {
        nPos = 2;
    }
    else if (nSize >= 2 && pData[0] == 0xFE && pData[1] == 0xFF)
    {
        nPos = 2;
        bBigEndian = true;
    }
    else if (nSize >= 4 && pData[0] != 0 && pData[1] == 0 && pData[2] != 0 && pData[3] == 0)
    {
    }
    else if (nSize >= 4 && pData[0] == 0 && pData[1] != 0 && pData[2] == 0 && pData[3] != 0)
    {
        bBigEndian = true;
    }
    else
    {
        return false;
    }
    strText.clear();
    for (; nPos + 1 < nSize && strText.size() < TEXT_WINDOW; nPos += 2)
    {
        const uint8_t nHigh = pData[nPos + (bBigEndian ? 0 : 1)];
        const uint8_t nLow = pData[nPos + (bBigEndian ? 1 : 0)];
        strText.push_back(static_cast<char>(nHigh != 0 || nLow >= 0x80 ? 0x80 : nLow));
    }
    return true;
}

// Record files are ASCII; one saved as UTF-16 (a Windows editor's "Unicode") is named as such.
bool IsUtf16(const std::vector<uint8_t>& fileData, std::string& strError)
{
    std::string strText;
    if (!Utf16Text(fileData.data(), fileData.size(), strText))
    {
        return false;
    }
    strError = "the file is UTF-16 text; record files are ASCII: save it as ASCII or UTF-8 (for "
               "example iconv -f UTF-16 -t ASCII)";
    return true;
}
} // namespace

EFirmwareFormat RecordTextFormat(const uint8_t* pData, size_t nSize)
{
    std::string strText;
    if (!Utf16Text(pData, nSize, strText))
    {
        strText.assign(pData, pData + std::min(nSize, TEXT_WINDOW));
    }
    // Text has no control characters but line ends, tabs and DOS's end-of-file mark; bytes
    // from 0x80 up may be UTF-8 in a comment.
    const bool bAllText = std::none_of(strText.begin(), strText.end(),
                                       [](char c)
                                       {
                                           const auto n = static_cast<uint8_t>(c);
                                           return (n < 0x20 || n == 0x7F) && n != '\t' &&
                                                  n != '\n' && n != '\r' && n != 0x1A;
                                       });
    const auto* pText = reinterpret_cast<const uint8_t*>(strText.data());
    CLineReader lines(pText, strText.size());
    const uint8_t* pLine = nullptr;
    size_t nLength = 0;
    while (lines.Next(pLine, nLength))
    {
        if (nLength == 0)
        {
            continue;
        }
        // ':' count(1) ..., 'S' type count(1) ...: the mark and a count's two digits.
        const auto IsHex = [&](size_t n) { return n < nLength && HexDigit(pLine[n]) >= 0; };
        if (pLine[0] == ':' && IsHex(1) && IsHex(2))
        {
            return EFirmwareFormat::INTEL_HEX;
        }
        if ((pLine[0] == 'S' || pLine[0] == 's') && nLength > 1 && pLine[1] >= '0' &&
            pLine[1] <= '9' && IsHex(2) && IsHex(3))
        {
            return EFirmwareFormat::SRECORD;
        }
        // Lines that are not records (a comment, a title) before the first record are looked
        // past only in what is text through and through.
        if (!bAllText)
        {
            return EFirmwareFormat::BINARY;
        }
    }
    return EFirmwareFormat::BINARY;
}

CFirmwareImage ConvertIntelHex(const std::vector<uint8_t>& fileData, const CImageOptions& options)
{
    const EFirmwareFormat FORMAT = EFirmwareFormat::INTEL_HEX;
    if (std::string strUtf16; IsUtf16(fileData, strUtf16))
    {
        return Failed(FORMAT, strUtf16);
    }
    std::vector<uint8_t> loadBytes;
    std::vector<CChunk> chunks;
    std::vector<uint8_t> record;
    // Both kinds of extended address count, added up, as objcopy reads a file that mixes them.
    uint64_t nSegmentBase = 0;
    uint64_t nLinearBase = 0;
    bool bEnd = false;
    CLineReader lines(fileData.data(), fileData.size());
    const uint8_t* pLine = nullptr;
    size_t nLength = 0;
    while (!bEnd && lines.Next(pLine, nLength))
    {
        const std::string strWhere = LineText(lines.Line()) + ": ";
        if (nLength == 0)
        {
            continue;
        }
        if (pLine[0] != ':')
        {
            return Failed(FORMAT, strWhere + "not an Intel HEX record; it must begin with ':'");
        }
        if (!DecodeHexPairs(pLine + 1, nLength - 1, record))
        {
            return Failed(FORMAT, strWhere + "not an Intel HEX record; the characters after ':' "
                                             "must be pairs of hexadecimal digits");
        }
        if (record.size() >= 5 && record[0] != 0 &&
            record.size() == 2 * static_cast<size_t>(record[0]) + 5)
        {
            return Failed(FORMAT, strWhere + "the record holds two bytes for each one its count "
                                             "says: word-addressed Intel HEX (INHX16), which "
                                             "cannot be read; write the file as byte-addressed "
                                             "Intel HEX (INHX8M or INHX32)");
        }
        if (record.size() < 5 || record.size() != static_cast<size_t>(record[0]) + 5)
        {
            return Failed(FORMAT, strWhere + "the record's length does not match its contents; "
                                             "the line may be cut short");
        }
        unsigned nSum = 0;
        for (size_t n = 0; n + 1 < record.size(); ++n)
        {
            nSum += record[n];
        }
        const unsigned nExpected = (0x100u - (nSum & 0xFFu)) & 0xFFu;
        if (record.back() != nExpected)
        {
            return Failed(FORMAT, strWhere + "checksum error: the record says " +
                                      Hex8(record.back()) + ", its bytes make " + Hex8(nExpected));
        }
        const size_t nCount = record[0];
        const uint64_t nOffset = (static_cast<uint64_t>(record[1]) << 8) | record[2];
        const uint8_t nType = record[3];
        const uint64_t nValue =
            nCount >= 2 ? (static_cast<uint64_t>(record[4]) << 8) | record[5] : 0;
        switch (nType)
        {
        case 0x00:
        {
            if (nCount == 0)
            {
                break;
            }
            const uint64_t nAddress = nLinearBase + nSegmentBase + nOffset;
            if (nAddress + nCount > ADDRESS_SPACE_END)
            {
                return Failed(FORMAT, strWhere + "the record's bytes at " + Hex32(nAddress) +
                                          " reach past 4 GiB");
            }
            chunks.push_back({nAddress, loadBytes.size(), nCount, lines.Line()});
            loadBytes.insert(loadBytes.end(), record.begin() + 4, record.end() - 1);
            break;
        }
        case 0x01:
            if (nCount != 0)
            {
                return Failed(FORMAT, strWhere + "an end-of-file record holds no data");
            }
            bEnd = true;
            break;
        case 0x02:
        case 0x04:
            if (nCount != 2)
            {
                return Failed(FORMAT, strWhere + "an extended address record holds 2 bytes");
            }
            if (nType == 0x02)
            {
                nSegmentBase = nValue << 4;
            }
            else
            {
                nLinearBase = nValue << 16;
            }
            break;
        case 0x03:
        case 0x05:
            if (nCount != 4)
            {
                return Failed(FORMAT, strWhere + "a start address record holds 4 bytes");
            }
            break;
        default:
            return Failed(FORMAT, strWhere + "unknown record type " + Hex8(nType));
        }
    }
    if (!bEnd)
    {
        return Failed(FORMAT, "no end-of-file record (:00000001FF) after line " +
                                  std::to_string(lines.Line()) +
                                  "; the file may be cut short (if it holds data records only "
                                  "by design, add that record as its last line)");
    }
    CFirmwareImage image;
    image.m_format = FORMAT;
    image.m_bOk = BuildFlatImage(chunks, loadBytes.data(), LineText, options, image);
    return image;
}

CFirmwareImage ConvertSRecord(const std::vector<uint8_t>& fileData, const CImageOptions& options)
{
    const EFirmwareFormat FORMAT = EFirmwareFormat::SRECORD;
    // Address bytes of S0 to S9; 0 marks the type that does not exist (S4).
    const size_t ADDRESS_BYTES[10] = {2, 2, 3, 4, 0, 2, 3, 4, 3, 2};
    if (std::string strUtf16; IsUtf16(fileData, strUtf16))
    {
        return Failed(FORMAT, strUtf16);
    }
    std::vector<uint8_t> loadBytes;
    std::vector<CChunk> chunks;
    std::vector<uint8_t> record;
    uint64_t nDataRecords = 0;
    bool bEnd = false;
    CLineReader lines(fileData.data(), fileData.size());
    const uint8_t* pLine = nullptr;
    size_t nLength = 0;
    while (!bEnd && lines.Next(pLine, nLength))
    {
        const std::string strWhere = LineText(lines.Line()) + ": ";
        if (nLength == 0)
        {
            continue;
        }
        if (nLength < 2 || (pLine[0] != 'S' && pLine[0] != 's') || pLine[1] < '0' || pLine[1] > '9')
        {
            return Failed(FORMAT, strWhere + "not an S-record; it must begin with S0 to S9");
        }
        const unsigned nType = static_cast<unsigned>(pLine[1] - '0');
        const size_t nAddressBytes = ADDRESS_BYTES[nType];
        if (nAddressBytes == 0)
        {
            return Failed(FORMAT, strWhere + "unknown record type S" + std::to_string(nType));
        }
        if (!DecodeHexPairs(pLine + 2, nLength - 2, record))
        {
            return Failed(FORMAT, strWhere + "not an S-record; the characters after S" +
                                      std::to_string(nType) +
                                      " must be pairs of hexadecimal digits");
        }
        if (record.empty() || record.size() != static_cast<size_t>(record[0]) + 1 ||
            record[0] < nAddressBytes + 1)
        {
            return Failed(FORMAT, strWhere + "the record's length does not match its contents; "
                                             "the line may be cut short");
        }
        unsigned nSum = 0;
        for (size_t n = 0; n + 1 < record.size(); ++n)
        {
            nSum += record[n];
        }
        const unsigned nExpected = ~nSum & 0xFFu;
        if (record.back() != nExpected)
        {
            return Failed(FORMAT, strWhere + "checksum error: the record says " +
                                      Hex8(record.back()) + ", its bytes make " + Hex8(nExpected));
        }
        uint64_t nAddress = 0;
        for (size_t n = 0; n < nAddressBytes; ++n)
        {
            nAddress = (nAddress << 8) | record[1 + n];
        }
        const size_t nDataOffset = 1 + nAddressBytes;
        const size_t nCount = record.size() - 1 - nDataOffset;
        switch (nType)
        {
        case 1:
        case 2:
        case 3:
            ++nDataRecords;
            if (nCount == 0)
            {
                break;
            }
            if (nAddress + nCount > ADDRESS_SPACE_END)
            {
                return Failed(FORMAT, strWhere + "the record's bytes at " + Hex32(nAddress) +
                                          " reach past 4 GiB");
            }
            chunks.push_back({nAddress, loadBytes.size(), nCount, lines.Line()});
            loadBytes.insert(loadBytes.end(), record.begin() + static_cast<long>(nDataOffset),
                             record.end() - 1);
            break;
        case 5:
        case 6:
            if (nAddress != nDataRecords)
            {
                return Failed(FORMAT, strWhere + "the record count says " +
                                          std::to_string(nAddress) + " data records, but " +
                                          std::to_string(nDataRecords) + " came before it");
            }
            break;
        case 7:
        case 8:
        case 9:
            bEnd = true;
            break;
        default: // S0: the header
            break;
        }
    }
    if (!bEnd)
    {
        return Failed(FORMAT, "no termination record (S7, S8 or S9) after line " +
                                  std::to_string(lines.Line()) +
                                  "; the file may be cut short (if it holds data records only "
                                  "by design, add S9030000FC as its last line)");
    }
    CFirmwareImage image;
    image.m_format = FORMAT;
    image.m_bOk = BuildFlatImage(chunks, loadBytes.data(), LineText, options, image);
    return image;
}
} // namespace FirmwareParts
