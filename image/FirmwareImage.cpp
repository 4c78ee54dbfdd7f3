#include "image/FirmwareImage.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <gelf.h>
#include <libelf.h>
#include <memory>
#include <new>

namespace
{
constexpr uint64_t ADDRESS_SPACE_END = 0x100000000ull; // 4 GiB: one past the last address
constexpr char EN_DASH[] = "\xE2\x80\x93";

CImageOptions s_imageOptions;

// One run of loadable bytes: where it loads, where its bytes are, and the line or segment
// it came from.
struct CChunk
{
    uint64_t m_nAddress = 0;
    size_t m_nOffset = 0;
    size_t m_nLength = 0;
    size_t m_nSource = 0;
};

std::string Hex32(uint64_t nValue)
{
    char szText[16];
    std::snprintf(szText, sizeof szText, "0x%08llX", static_cast<unsigned long long>(nValue));
    return szText;
}

std::string Hex8(unsigned nValue)
{
    char szText[8];
    std::snprintf(szText, sizeof szText, "0x%02X", nValue & 0xFFu);
    return szText;
}

// The inclusive range of nLength bytes at nAddress.
std::string Range(uint64_t nAddress, uint64_t nLength)
{
    return Hex32(nAddress) + EN_DASH + Hex32(nAddress + nLength - 1);
}

CFirmwareImage Failed(EFirmwareFormat format, std::string strError)
{
    CFirmwareImage image;
    image.m_format = format;
    image.m_strError = std::move(strError);
    return image;
}

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

// Splits text into lines at "\n", "\r\n" or "\r", with trailing blanks and tabs taken off.
class CLineReader
{
public:
    CLineReader(const uint8_t* pData, size_t nSize) : m_pData(pData), m_nSize(nSize) {}

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
        while (nEnd > nStart && (m_pData[nEnd - 1] == ' ' || m_pData[nEnd - 1] == '\t'))
        {
            --nEnd;
        }
        pLine = m_pData + nStart;
        nLength = nEnd - nStart;
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

// The first line that is not blank, for recognising the format: the record's mark, then hexadecimal
// digits alone, at least as many as the shortest record has. Lengths and checksums are left to
// the parser, so that a damaged file is reported rather than sent as it is.
bool FirstLineIsRecord(const uint8_t* pData, size_t nSize, char cStart, size_t nPrefix,
                       size_t nMinDigits)
{
    CLineReader lines(pData, nSize);
    const uint8_t* pLine = nullptr;
    size_t nLength = 0;
    bool bLine = lines.Next(pLine, nLength);
    while (bLine && nLength == 0) // blank lines before the first record
    {
        bLine = lines.Next(pLine, nLength);
    }
    if (!bLine || nLength < nPrefix + nMinDigits || pLine[0] != cStart)
    {
        return false;
    }
    if (cStart == 'S' && (pLine[1] < '0' || pLine[1] > '9'))
    {
        return false;
    }
    return std::all_of(pLine + nPrefix, pLine + nLength,
                       [](uint8_t c) { return HexDigit(c) >= 0; });
}

std::string LineText(size_t nLine)
{
    return "line " + std::to_string(nLine);
}

// Lays the chunks out by address into one flat image. pszUnit names a chunk's source
// ("line", "segment") in errors.
bool BuildFlatImage(std::vector<CChunk>& chunks, const uint8_t* pBytes, const char* pszUnit,
                    const CImageOptions& options, CFirmwareImage& image)
{
    if (chunks.empty())
    {
        image.m_strError = "the file holds no data to load";
        return false;
    }
    std::stable_sort(chunks.begin(), chunks.end(),
                     [](const CChunk& a, const CChunk& b) { return a.m_nAddress < b.m_nAddress; });
    size_t nWidest = 0; // the chunk that reaches furthest so far
    for (size_t n = 1; n < chunks.size(); ++n)
    {
        const CChunk& previous = chunks[nWidest];
        if (chunks[n].m_nAddress < previous.m_nAddress + previous.m_nLength)
        {
            const CChunk& first = previous.m_nSource < chunks[n].m_nSource ? previous : chunks[n];
            const CChunk& second = previous.m_nSource < chunks[n].m_nSource ? chunks[n] : previous;
            image.m_strError = std::string(pszUnit) + " " + std::to_string(second.m_nSource) +
                               " loads " + Range(second.m_nAddress, second.m_nLength) +
                               ", overlapping " + pszUnit + " " + std::to_string(first.m_nSource) +
                               " at " + Range(first.m_nAddress, first.m_nLength);
            return false;
        }
        if (chunks[n].m_nAddress + chunks[n].m_nLength > previous.m_nAddress + previous.m_nLength)
        {
            nWidest = n;
        }
    }
    const uint64_t nStart = chunks.front().m_nAddress;
    const uint64_t nEnd = chunks[nWidest].m_nAddress + chunks[nWidest].m_nLength;
    const uint64_t nSize = nEnd - nStart;
    if (nSize > options.m_nMaxSize)
    {
        image.m_strError = "the flat image from " + Hex32(nStart) + " to " + Hex32(nEnd - 1) +
                           " would be " + std::to_string(nSize) + " bytes, more than the " +
                           std::to_string(options.m_nMaxSize) + " bytes a send can carry";
        return false;
    }
    if (options.m_bBaseSet && nStart != options.m_nBase)
    {
        image.m_strError = "the image starts at " + Hex32(nStart) + ", not at " +
                           Hex32(options.m_nBase) + " as --base asks";
        return false;
    }
    try
    {
        image.m_data.assign(static_cast<size_t>(nSize), options.m_nGapFill);
    }
    catch (const std::bad_alloc&)
    {
        image.m_strError = "not enough memory for a flat image of " + std::to_string(nSize) +
                           " bytes at " + Range(nStart, nSize);
        return false;
    }
    for (const CChunk& chunk : chunks)
    {
        std::memcpy(image.m_data.data() + (chunk.m_nAddress - nStart), pBytes + chunk.m_nOffset,
                    chunk.m_nLength);
    }
    image.m_nStartAddress = static_cast<uint32_t>(nStart);
    image.m_nParts = chunks.size();
    return true;
}

// Data records (type 00) at extended segment (02) or linear (04) addresses; start addresses
// (03, 05) say nothing about the image; the end-of-file record (01) must be there, so that a
// file cut short is not sent.
CFirmwareImage ConvertIntelHex(const std::vector<uint8_t>& fileData, const CImageOptions& options)
{
    const EFirmwareFormat FORMAT = EFirmwareFormat::INTEL_HEX;
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
                                  std::to_string(lines.Line()) + "; the file may be cut short");
    }
    CFirmwareImage image;
    image.m_format = FORMAT;
    image.m_bOk = BuildFlatImage(chunks, loadBytes.data(), "line", options, image);
    return image;
}

// Data in S1, S2 and S3 records; S0 is a header, S5 and S6 count the data records, and a
// termination record (S7, S8 or S9) must end the data so that a file cut short is not sent.
CFirmwareImage ConvertSRecord(const std::vector<uint8_t>& fileData, const CImageOptions& options)
{
    const EFirmwareFormat FORMAT = EFirmwareFormat::SRECORD;
    // Address bytes of S0 to S9; 0 marks the type that does not exist (S4).
    const size_t ADDRESS_BYTES[10] = {2, 2, 3, 4, 0, 2, 3, 4, 3, 2};
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
        if (nLength < 2 || pLine[0] != 'S' || pLine[1] < '0' || pLine[1] > '9')
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
                                  std::to_string(lines.Line()) + "; the file may be cut short");
    }
    CFirmwareImage image;
    image.m_format = FORMAT;
    image.m_bOk = BuildFlatImage(chunks, loadBytes.data(), "line", options, image);
    return image;
}

std::string MachineName(unsigned nMachine)
{
    switch (nMachine)
    {
    case EM_386:
        return "Intel 80386";
    case EM_X86_64:
        return "x86-64";
    case EM_AARCH64:
        return "AArch64 (64-bit ARM)";
    case EM_ARM:
        return "ARM";
    case EM_RISCV:
        return "RISC-V";
    case EM_AVR:
        return "Atmel AVR";
    case EM_MIPS:
        return "MIPS";
    case EM_PPC:
        return "PowerPC";
    case EM_PPC64:
        return "PowerPC 64";
    case EM_XTENSA:
        return "Xtensa";
    case EM_MSP430:
        return "TI MSP430";
    case EM_SPARC:
        return "SPARC";
    case EM_68K:
        return "Motorola 68000";
    case EM_SH:
        return "SuperH";
    case EM_ARC:
        return "ARC";
    case EM_NONE:
        return "no machine";
    default:
        return "an unknown machine";
    }
}

struct CElfEnd
{
    void operator()(Elf* pElf) const { elf_end(pElf); }
};

// PT_LOAD segments with file contents, by physical (load) address; only 32-bit
// little-endian ARM files, the only ones a Plinth board runs.
CFirmwareImage ConvertElf(std::vector<uint8_t>& fileData, const CImageOptions& options)
{
    const EFirmwareFormat FORMAT = EFirmwareFormat::ELF;
    static const bool s_bLibraryReady = elf_version(EV_CURRENT) != EV_NONE;
    if (!s_bLibraryReady)
    {
        return Failed(FORMAT, "the ELF library is too old for this file");
    }
    // The identification first (checked when the format was recognised), so that a damaged
    // header still gets a clear word.
    const unsigned nClass = fileData[EI_CLASS];
    const unsigned nByteOrder = fileData[EI_DATA];
    std::unique_ptr<Elf, CElfEnd> pElf(
        elf_memory(reinterpret_cast<char*>(fileData.data()), fileData.size()));
    GElf_Ehdr header = {};
    if (!pElf || elf_kind(pElf.get()) != ELF_K_ELF || gelf_getehdr(pElf.get(), &header) == nullptr)
    {
        return Failed(FORMAT, std::string("the ELF header cannot be read: ") + elf_errmsg(-1));
    }
    if (nClass != ELFCLASS32 || nByteOrder != ELFDATA2LSB || header.e_machine != EM_ARM)
    {
        const std::string strClass = nClass == ELFCLASS64 ? "a 64-bit"
                                     : nClass == ELFCLASS32
                                         ? "a 32-bit"
                                         : "an ELF class " + std::to_string(nClass);
        const std::string strOrder = nByteOrder == ELFDATA2MSB ? " big-endian" : "";
        return Failed(FORMAT, strClass + strOrder + " ELF file for " +
                                  MachineName(header.e_machine) + ", machine type " +
                                  std::to_string(header.e_machine) +
                                  "; the board runs 32-bit little-endian ARM firmware");
    }
    size_t nHeaders = 0;
    if (elf_getphdrnum(pElf.get(), &nHeaders) != 0)
    {
        return Failed(FORMAT, std::string("the program headers cannot be read: ") + elf_errmsg(-1));
    }
    std::vector<CChunk> chunks;
    for (size_t n = 0; n < nHeaders; ++n)
    {
        GElf_Phdr segment = {};
        if (gelf_getphdr(pElf.get(), static_cast<int>(n), &segment) == nullptr)
        {
            return Failed(FORMAT, "segment " + std::to_string(n) +
                                      ": its header cannot be read: " + elf_errmsg(-1));
        }
        if (segment.p_type != PT_LOAD || segment.p_filesz == 0)
        {
            continue;
        }
        const std::string strWhere = "segment " + std::to_string(n) + ": ";
        if (segment.p_offset > fileData.size() ||
            segment.p_filesz > fileData.size() - segment.p_offset)
        {
            return Failed(FORMAT, strWhere + "its contents reach past the end of the file; the "
                                             "file may be cut short");
        }
        if (segment.p_paddr + segment.p_filesz > ADDRESS_SPACE_END)
        {
            return Failed(FORMAT, strWhere + "its bytes at " + Hex32(segment.p_paddr) +
                                      " reach past 4 GiB");
        }
        chunks.push_back({segment.p_paddr, static_cast<size_t>(segment.p_offset),
                          static_cast<size_t>(segment.p_filesz), n});
    }
    if (chunks.empty())
    {
        return Failed(FORMAT, "no loadable segment with contents; is it an object file rather "
                              "than linked firmware?");
    }
    CFirmwareImage image;
    image.m_format = FORMAT;
    image.m_bOk = BuildFlatImage(chunks, fileData.data(), "segment", options, image);
    return image;
}
} // namespace

EFirmwareFormat DetectFirmwareFormat(const uint8_t* pData, size_t nSize)
{
    // The magic and an identification that makes sense: class, byte order and version.
    if (nSize >= EI_NIDENT && std::memcmp(pData, ELFMAG, SELFMAG) == 0 &&
        (pData[EI_CLASS] == ELFCLASS32 || pData[EI_CLASS] == ELFCLASS64) &&
        (pData[EI_DATA] == ELFDATA2LSB || pData[EI_DATA] == ELFDATA2MSB) &&
        pData[EI_VERSION] == EV_CURRENT)
    {
        return EFirmwareFormat::ELF;
    }
    // ':' count(1) address(2) type(1) data(count) checksum(1)
    if (FirstLineIsRecord(pData, nSize, ':', 1, 10))
    {
        return EFirmwareFormat::INTEL_HEX;
    }
    // 'S' type count(1) address(2 to 4) data checksum(1)
    if (FirstLineIsRecord(pData, nSize, 'S', 2, 8))
    {
        return EFirmwareFormat::SRECORD;
    }
    return EFirmwareFormat::BINARY;
}

CFirmwareImage ConvertFirmware(std::vector<uint8_t> fileData, const CImageOptions& options)
{
    try
    {
        switch (DetectFirmwareFormat(fileData.data(), fileData.size()))
        {
        case EFirmwareFormat::ELF:
            return ConvertElf(fileData, options);
        case EFirmwareFormat::INTEL_HEX:
            return ConvertIntelHex(fileData, options);
        case EFirmwareFormat::SRECORD:
            return ConvertSRecord(fileData, options);
        case EFirmwareFormat::BINARY:
            break;
        }
    }
    catch (const std::bad_alloc&)
    {
        return Failed(EFirmwareFormat::BINARY, "not enough memory to read the file's records");
    }
    CFirmwareImage image;
    image.m_bOk = true;
    image.m_data = std::move(fileData);
    image.m_nParts = 1;
    return image;
}

std::string FormatName(EFirmwareFormat format)
{
    switch (format)
    {
    case EFirmwareFormat::ELF:
        return "ELF";
    case EFirmwareFormat::INTEL_HEX:
        return "Intel HEX";
    case EFirmwareFormat::SRECORD:
        return "S-record";
    case EFirmwareFormat::BINARY:
        break;
    }
    return "binary";
}

std::string DescribeImage(const std::string& strFileName, const CFirmwareImage& image)
{
    std::string strLine = strFileName + ": " + FormatName(image.m_format) + ", ";
    if (image.m_format != EFirmwareFormat::BINARY)
    {
        const bool bElf = image.m_format == EFirmwareFormat::ELF;
        strLine += std::to_string(image.m_nParts) + (bElf ? " segment" : " record") +
                   (image.m_nParts == 1 ? "" : "s") + ", ";
        if (!image.m_data.empty())
        {
            strLine += Range(image.m_nStartAddress, image.m_data.size()) + ", ";
        }
    }
    return strLine + std::to_string(image.m_data.size()) + " bytes";
}

void SetImageOptions(const CImageOptions& options)
{
    s_imageOptions = options;
}

const CImageOptions& ImageOptions()
{
    return s_imageOptions;
}
