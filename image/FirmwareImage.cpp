#include "image/FirmwareImage.h"

#include "image/FirmwareImageParts.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>

namespace
{
constexpr char EN_DASH[] = "\xE2\x80\x93";

CImageOptions s_imageOptions;
} // namespace

namespace FirmwareParts
{
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
} // namespace FirmwareParts

using namespace FirmwareParts;

EFirmwareFormat DetectFirmwareFormat(const uint8_t* pData, size_t nSize)
{
    if (HasElfIdentification(pData, nSize))
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
