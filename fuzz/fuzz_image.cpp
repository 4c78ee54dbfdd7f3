// The firmware image converter on any bytes: it never crashes, a flat binary passes through
// untouched, the gap fill changes only gap bytes, and an image written back out as Intel HEX
// reads in as the same image.

#include "image/FirmwareImage.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace
{
// Small enough that two images stay well inside the fuzzer's memory limit.
constexpr uint64_t FUZZ_MAX_IMAGE = 1u << 20;

void AppendRecord(std::string& strHex, uint8_t nType, uint16_t nOffset, const uint8_t* pData,
                  size_t nCount)
{
    unsigned nSum = static_cast<unsigned>(nCount) + (nOffset >> 8) + (nOffset & 0xFF) + nType;
    char szByte[3];
    std::snprintf(szByte, sizeof szByte, "%02X", static_cast<unsigned>(nCount));
    strHex += std::string(":") + szByte;
    std::snprintf(szByte, sizeof szByte, "%02X", nOffset >> 8);
    strHex += szByte;
    std::snprintf(szByte, sizeof szByte, "%02X", nOffset & 0xFF);
    strHex += szByte;
    std::snprintf(szByte, sizeof szByte, "%02X", nType);
    strHex += szByte;
    for (size_t n = 0; n < nCount; ++n)
    {
        nSum += pData[n];
        std::snprintf(szByte, sizeof szByte, "%02X", pData[n]);
        strHex += szByte;
    }
    std::snprintf(szByte, sizeof szByte, "%02X", (0x100 - (nSum & 0xFF)) & 0xFF);
    strHex += std::string(szByte) + "\n";
}

// The flat image as Intel HEX: 16-byte data records, a linear address record at each 64 KiB.
std::string ToIntelHex(const CFirmwareImage& image)
{
    std::string strHex;
    uint64_t nUpper = ~0ull;
    for (size_t n = 0; n < image.m_data.size();)
    {
        const uint64_t nAddress = image.m_nStartAddress + static_cast<uint64_t>(n);
        if ((nAddress >> 16) != nUpper)
        {
            nUpper = nAddress >> 16;
            const uint8_t upper[2] = {static_cast<uint8_t>(nUpper >> 8),
                                      static_cast<uint8_t>(nUpper)};
            AppendRecord(strHex, 0x04, 0, upper, 2);
        }
        size_t nCount = std::min<size_t>(16, image.m_data.size() - n);
        nCount = std::min<uint64_t>(nCount, 0x10000 - (nAddress & 0xFFFF));
        AppendRecord(strHex, 0x00, static_cast<uint16_t>(nAddress & 0xFFFF), &image.m_data[n],
                     nCount);
        n += nCount;
    }
    AppendRecord(strHex, 0x01, 0, nullptr, 0);
    return strHex;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize)
{
    const std::vector<uint8_t> input(pData, pData + nSize);
    CImageOptions options;
    options.m_nMaxSize = FUZZ_MAX_IMAGE;
    const CFirmwareImage erased = ConvertFirmware(input, options);
    options.m_nGapFill = 0x00;
    const CFirmwareImage zeroed = ConvertFirmware(input, options);
    DescribeImage("fuzz", erased);

    if (erased.m_bOk != zeroed.m_bOk || erased.m_format != zeroed.m_format ||
        erased.m_strError != zeroed.m_strError)
        std::abort();
    if (!erased.m_bOk)
    {
        if (erased.m_strError.empty() || !erased.m_data.empty())
            std::abort();
        return 0;
    }
    if (erased.m_format == EFirmwareFormat::BINARY)
    {
        if (erased.m_data != input)
            std::abort();
        return 0;
    }
    if (erased.m_data.empty() || erased.m_data.size() > FUZZ_MAX_IMAGE ||
        erased.m_data.size() != zeroed.m_data.size() || erased.m_nParts == 0 ||
        erased.m_nStartAddress != zeroed.m_nStartAddress ||
        erased.m_nStartAddress + static_cast<uint64_t>(erased.m_data.size()) > 0x100000000ull)
        std::abort();
    for (size_t n = 0; n < erased.m_data.size(); ++n)
    {
        if (erased.m_data[n] != zeroed.m_data[n] &&
            (erased.m_data[n] != 0xFF || zeroed.m_data[n] != 0x00))
            std::abort();
    }
    // Records' data lies at both ends of the image (an ELF file's empty sections may stretch it
    // with the fill, as objcopy does).
    if (erased.m_format != EFirmwareFormat::ELF &&
        ((erased.m_data.front() != zeroed.m_data.front()) ||
         (erased.m_data.back() != zeroed.m_data.back())))
        std::abort();

    const std::string strHex = ToIntelHex(erased);
    options.m_nGapFill = DEFAULT_GAP_FILL;
    const CFirmwareImage again =
        ConvertFirmware(std::vector<uint8_t>(strHex.begin(), strHex.end()), options);
    if (!again.m_bOk || again.m_format != EFirmwareFormat::INTEL_HEX ||
        again.m_nStartAddress != erased.m_nStartAddress || again.m_data != erased.m_data)
        std::abort();
    return 0;
}
