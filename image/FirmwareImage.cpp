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

// "1 GiB", "16 MiB" or a count of bytes.
std::string SizeText(uint64_t nBytes)
{
    if (nBytes != 0 && nBytes % (1ull << 30) == 0)
    {
        return std::to_string(nBytes >> 30) + " GiB";
    }
    if (nBytes != 0 && nBytes % (1ull << 20) == 0)
    {
        return std::to_string(nBytes >> 20) + " MiB";
    }
    return std::to_string(nBytes) + " bytes";
}

CFirmwareImage Failed(EFirmwareFormat format, std::string strError)
{
    CFirmwareImage image;
    image.m_format = format;
    image.m_strError = std::move(strError);
    return image;
}

bool BuildFlatImage(std::vector<CChunk>& chunks, const uint8_t* pBytes, const FSourceName& fnName,
                    const CImageOptions& options, CFirmwareImage& image)
{
    // objcopy's order: by address, and at one address an empty part before one with bytes.
    std::stable_sort(chunks.begin(), chunks.end(),
                     [](const CChunk& a, const CChunk& b) {
                         return a.m_nAddress != b.m_nAddress ? a.m_nAddress < b.m_nAddress
                                                             : a.m_nLength < b.m_nLength;
                     });
    size_t nParts = 0;
    const CChunk* pWidest = nullptr; // the part that reaches furthest so far
    for (const CChunk& chunk : chunks)
    {
        if (chunk.m_nLength == 0)
        {
            continue;
        }
        ++nParts;
        if (pWidest != nullptr && chunk.m_nAddress < pWidest->m_nAddress + pWidest->m_nLength)
        {
            const bool bWidestFirst = pWidest->m_nSource < chunk.m_nSource;
            const CChunk& first = bWidestFirst ? *pWidest : chunk;
            const CChunk& second = bWidestFirst ? chunk : *pWidest;
            image.m_strError = fnName(second.m_nSource) + " loads " +
                               Range(second.m_nAddress, second.m_nLength) + ", overlapping " +
                               fnName(first.m_nSource) + " at " +
                               Range(first.m_nAddress, first.m_nLength);
            return false;
        }
        if (pWidest == nullptr ||
            chunk.m_nAddress + chunk.m_nLength > pWidest->m_nAddress + pWidest->m_nLength)
        {
            pWidest = &chunk;
        }
    }
    if (nParts == 0)
    {
        image.m_strError = "the file holds no data to load";
        return false;
    }
    // objcopy fills a gap by growing the part before it up to the next one, an empty part
    // too: the image runs from the first part that then holds bytes to the furthest end.
    uint64_t nStart = 0;
    uint64_t nEnd = 0;
    bool bStarted = false;
    for (size_t n = 0; n < chunks.size(); ++n)
    {
        const uint64_t nAddress = chunks[n].m_nAddress;
        uint64_t nReach = nAddress + chunks[n].m_nLength;
        if (n + 1 < chunks.size() && nReach < chunks[n + 1].m_nAddress)
        {
            nReach = chunks[n + 1].m_nAddress;
        }
        if (nReach == nAddress)
        {
            continue;
        }
        if (!bStarted)
        {
            nStart = nAddress;
            bStarted = true;
        }
        nEnd = std::max(nEnd, nReach);
    }
    const uint64_t nSize = nEnd - nStart;
    if (nSize > MAX_IMAGE_SIZE)
    {
        image.m_strError = "the flat image from " + Hex32(nStart) + " to " + Hex32(nEnd - 1) +
                           " would be " + std::to_string(nSize) + " bytes, more than the " +
                           std::to_string(MAX_IMAGE_SIZE) + " bytes a send can carry";
        return false;
    }
    if (nSize > options.m_nMaxSize)
    {
        image.m_strError = "the flat image would span " + Range(nStart, nSize) + ", " +
                           std::to_string(nSize) + " bytes, more than " +
                           SizeText(options.m_nMaxSize) +
                           "; parts this far apart are usually a linker mistake (a section at "
                           "the wrong address). --allow-large-image sends it anyway";
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
        if (chunk.m_nLength != 0)
        {
            std::memcpy(image.m_data.data() + (chunk.m_nAddress - nStart), pBytes + chunk.m_nOffset,
                        chunk.m_nLength);
        }
    }
    image.m_nStartAddress = static_cast<uint32_t>(nStart);
    image.m_nParts = nParts;
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
    return RecordTextFormat(pData, nSize);
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
        const char* pszUnit = image.m_format != EFirmwareFormat::ELF ? " record"
                              : image.m_bFromSegments                ? " segment"
                                                                     : " section";
        strLine += std::to_string(image.m_nParts) + pszUnit + (image.m_nParts == 1 ? "" : "s") +
                   (image.m_bFromSegments ? " (no section headers)" : "") + ", ";
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
