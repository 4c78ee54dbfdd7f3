#pragma once
// Firmware files as toolchains write them (ELF, Intel HEX, Motorola S-record) turned into the
// flat image the bootloader takes, the way `objcopy -O binary` makes it: the loaded bytes
// (an ELF file's allocated sections, the records' data) by load address, from the lowest
// address to the end of the highest, gaps filled. Anything not recognised by its content is a
// flat binary already and passes through untouched; text that looks like records but does not
// read as them is refused, never sent as it is.
// No toolkit; results are plain values, and nothing thrown gets out.

#include <cstdint>
#include <string>
#include <vector>

enum class EFirmwareFormat
{
    BINARY,
    ELF,
    INTEL_HEX,
    SRECORD,
};

// Erased flash reads 0xFF, so gaps get that unless the user asks otherwise.
constexpr uint8_t DEFAULT_GAP_FILL = 0xFF;
// The send command's length field has 32 bits.
constexpr uint64_t MAX_IMAGE_SIZE = 0xFFFFFFFFull;
// Firmware spans megabytes; parts further apart than this are a linker mistake (a section
// linked at the wrong address) unless the user says otherwise.
constexpr uint64_t MAX_IMAGE_SPAN = 1ull << 30;

struct CImageOptions
{
    uint8_t m_nGapFill = DEFAULT_GAP_FILL;
    // When set, an image that does not start at m_nBase is refused (a flat binary carries no
    // address, so it is not checked).
    bool m_bBaseSet = false;
    uint32_t m_nBase = 0;
    // The largest flat image made: MAX_IMAGE_SPAN unless the user allows up to
    // MAX_IMAGE_SIZE; lower where memory is scarce (the fuzzer).
    uint64_t m_nMaxSize = MAX_IMAGE_SPAN;
};

struct CFirmwareImage
{
    bool m_bOk = false;
    // What is wrong, naming the line (HEX, S-record) or the section (ELF) at fault.
    std::string m_strError;
    EFirmwareFormat m_format = EFirmwareFormat::BINARY;
    // The bytes to send.
    std::vector<uint8_t> m_data;
    // The load address of the first byte (0 for a flat binary).
    uint32_t m_nStartAddress = 0;
    // Sections with contents (ELF) or data records (HEX, S-record) that made the image.
    size_t m_nParts = 0;
    // An ELF file without section headers: its loadable segments made the image, and they may
    // hold the file's own headers.
    bool m_bFromSegments = false;
};

// The format by content: "\x7fELF" with a valid identification (class, byte order,
// version); text (ASCII, UTF-8 with or without its byte-order mark, or UTF-16) with a line
// that begins like a ':' record or an S0 to S9 record (either case), the first such line
// deciding. Anything else is BINARY.
EFirmwareFormat DetectFirmwareFormat(const uint8_t* pData, size_t nSize);

// The flat image of a whole file's contents. A flat binary's bytes are moved, not copied.
CFirmwareImage ConvertFirmware(std::vector<uint8_t> fileData, const CImageOptions& options = {});

// "ELF", "Intel HEX", "S-record" or "binary".
std::string FormatName(EFirmwareFormat format);

// The line that says what is sent, for example
// "firmware.elf: ELF, 5 sections, 0x08000000–0x0800A3EF, 41968 bytes" or "fw.bin: binary,
// 28 bytes".
std::string DescribeImage(const std::string& strFileName, const CFirmwareImage& image);

// The options the command line chose, for every send of this process.
void SetImageOptions(const CImageOptions& options);
const CImageOptions& ImageOptions();
