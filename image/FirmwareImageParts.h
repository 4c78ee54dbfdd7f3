#pragma once
// The pieces the firmware formats share: the flat-image layout, the numbers in error texts,
// and one reader per format. Only image/FirmwareImage*.cpp include this.

#include "image/FirmwareImage.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace FirmwareParts
{
constexpr uint64_t ADDRESS_SPACE_END = 0x100000000ull; // 4 GiB: one past the last address

// One run of loadable bytes: where it loads, where its bytes are, and the line, section or
// segment it came from. An ELF section without contents is a chunk of length 0: it holds no
// bytes, but objcopy fills the gap after it as after any other.
struct CChunk
{
    uint64_t m_nAddress = 0;
    size_t m_nOffset = 0;
    size_t m_nLength = 0;
    size_t m_nSource = 0;
};

std::string Hex32(uint64_t nValue);
std::string Hex8(unsigned nValue);
// The inclusive range of nLength bytes at nAddress.
std::string Range(uint64_t nAddress, uint64_t nLength);
std::string SizeText(uint64_t nBytes);
CFirmwareImage Failed(EFirmwareFormat format, std::string strError);

// How errors name a chunk's source: "line 12", "section 3 (.data)".
using FSourceName = std::function<std::string(size_t nSource)>;

// Lays the chunks out by address into one flat image, as objcopy does.
bool BuildFlatImage(std::vector<CChunk>& chunks, const uint8_t* pBytes, const FSourceName& fnName,
                    const CImageOptions& options, CFirmwareImage& image);

// The ELF magic with an identification that makes sense: class, byte order and version.
bool HasElfIdentification(const uint8_t* pData, size_t nSize);
// INTEL_HEX or SRECORD for text that looks like those records, BINARY for anything else.
// Lengths and checksums are left to the parser, so that a damaged file is reported rather
// than sent as it is.
EFirmwareFormat RecordTextFormat(const uint8_t* pData, size_t nSize);

// Data records (type 00) at extended segment (02) or linear (04) addresses; start addresses
// (03, 05) say nothing about the image; the end-of-file record (01) must be there, so that a
// file cut short is not sent.
CFirmwareImage ConvertIntelHex(const std::vector<uint8_t>& fileData, const CImageOptions& options);
// Data in S1, S2 and S3 records; S0 is a header, S5 and S6 count the data records, and a
// termination record (S7, S8 or S9) must end the data so that a file cut short is not sent.
CFirmwareImage ConvertSRecord(const std::vector<uint8_t>& fileData, const CImageOptions& options);
// The allocated sections with contents, each at its load address; the PT_LOAD segments only
// in a file without section headers. Only 32-bit little-endian ARM files, the only ones a
// Plinth board runs.
CFirmwareImage ConvertElf(std::vector<uint8_t>& fileData, const CImageOptions& options);
} // namespace FirmwareParts
