#include "image/HandMadeElf.h"

#include <algorithm>
#include <cstring>

using namespace HandMadeElf;

namespace
{
constexpr size_t HEADER_SIZE = 52;
constexpr size_t PROGRAM_HEADER_SIZE = 32;

void Align(std::vector<uint8_t>& bytes, size_t nAlignment)
{
    bytes.resize((bytes.size() + nAlignment - 1) / nAlignment * nAlignment, 0);
}

void Place(std::vector<uint8_t>& bytes, size_t nAt, const std::vector<uint8_t>& data)
{
    if (bytes.size() < nAt + data.size())
    {
        bytes.resize(nAt + data.size(), 0);
    }
    std::copy(data.begin(), data.end(), bytes.begin() + static_cast<long>(nAt));
}
} // namespace

uint32_t Get32(const std::vector<uint8_t>& bytes, size_t nAt)
{
    return bytes[nAt] | bytes[nAt + 1] << 8 | bytes[nAt + 2] << 16 |
           static_cast<uint32_t>(bytes[nAt + 3]) << 24;
}

void Put32(std::vector<uint8_t>& bytes, size_t nAt, uint32_t nValue)
{
    Place(bytes, nAt,
          {static_cast<uint8_t>(nValue), static_cast<uint8_t>(nValue >> 8),
           static_cast<uint8_t>(nValue >> 16), static_cast<uint8_t>(nValue >> 24)});
}

void Put16(std::vector<uint8_t>& bytes, size_t nAt, uint16_t nValue)
{
    Place(bytes, nAt, {static_cast<uint8_t>(nValue), static_cast<uint8_t>(nValue >> 8)});
}

size_t SectionHeaderAt(const std::vector<uint8_t>& bytes, size_t nIndex)
{
    return Get32(bytes, HEADER_SHOFF) + nIndex * SECTION_HEADER_SIZE;
}

std::vector<uint8_t> CElfFile::Bytes() const
{
    const size_t nSegments = m_segments.size();
    std::vector<uint8_t> bytes(HEADER_SIZE + PROGRAM_HEADER_SIZE * nSegments, 0);
    std::memcpy(bytes.data(),
                "\x7f"
                "ELF\x01\x01\x01",
                7);
    Put16(bytes, 16, m_nType);
    Put16(bytes, 18, 40); // EM_ARM
    Put32(bytes, 20, 1);
    Put32(bytes, 28, nSegments != 0 ? HEADER_SIZE : 0);
    Put16(bytes, 40, HEADER_SIZE);
    Put16(bytes, 42, PROGRAM_HEADER_SIZE);
    Put16(bytes, 44, static_cast<uint16_t>(nSegments));

    std::vector<size_t> offsets(m_sections.size(), 0);
    for (size_t nSegment = 0; nSegment < nSegments; ++nSegment)
    {
        Align(bytes, 16);
        const size_t nStart = bytes.size();
        uint32_t nVaddr = 0;
        uint64_t nFileEnd = nStart;
        uint64_t nMemoryEnd = 0;
        bool bFirst = true;
        for (size_t n = 0; n < m_sections.size(); ++n)
        {
            const CElfSection& section = m_sections[n];
            if (section.m_nSegment != static_cast<int>(nSegment))
            {
                continue;
            }
            if (bFirst)
            {
                nVaddr = section.m_nAddress;
                bFirst = false;
            }
            offsets[n] = nStart + (section.m_nAddress - nVaddr);
            nMemoryEnd = std::max<uint64_t>(nMemoryEnd, section.m_nAddress + section.m_data.size());
            if (section.m_nType != SECTION_NOBITS)
            {
                Place(bytes, offsets[n], section.m_data);
                nFileEnd = std::max<uint64_t>(nFileEnd, offsets[n] + section.m_data.size());
            }
        }
        const size_t nAt = HEADER_SIZE + nSegment * PROGRAM_HEADER_SIZE;
        Put32(bytes, nAt, m_segments[nSegment].m_nType);
        Put32(bytes, nAt + 4, static_cast<uint32_t>(nStart));
        Put32(bytes, nAt + 8, nVaddr);
        Put32(bytes, nAt + 12, m_segments[nSegment].m_nLoadAddress);
        Put32(bytes, nAt + 16, static_cast<uint32_t>(nFileEnd - nStart));
        Put32(bytes, nAt + 20, static_cast<uint32_t>(nMemoryEnd - nVaddr));
        Put32(bytes, nAt + 24, 7);
        Put32(bytes, nAt + 28, 4);
    }
    for (size_t n = 0; n < m_sections.size(); ++n)
    {
        if (m_sections[n].m_nSegment < 0)
        {
            Align(bytes, 4);
            offsets[n] = bytes.size();
            if (m_sections[n].m_nType != SECTION_NOBITS)
            {
                Place(bytes, offsets[n], m_sections[n].m_data);
            }
        }
    }
    if (!m_bSectionHeaders)
    {
        return bytes;
    }

    std::string strNames(1, '\0');
    std::vector<uint32_t> nameOffsets;
    for (const CElfSection& section : m_sections)
    {
        nameOffsets.push_back(static_cast<uint32_t>(strNames.size()));
        strNames += section.m_strName + '\0';
    }
    const auto nNamesName = static_cast<uint32_t>(strNames.size());
    strNames += std::string(".shstrtab") + '\0';
    const size_t nNamesAt = bytes.size();
    Place(bytes, nNamesAt, std::vector<uint8_t>(strNames.begin(), strNames.end()));

    Align(bytes, 4);
    const size_t nHeaders = bytes.size();
    const size_t nCount = m_sections.size() + 2; // the null section, the names
    bytes.resize(nHeaders + nCount * SECTION_HEADER_SIZE, 0);
    for (size_t n = 0; n < m_sections.size(); ++n)
    {
        const CElfSection& section = m_sections[n];
        const size_t nAt = nHeaders + (n + 1) * SECTION_HEADER_SIZE;
        Put32(bytes, nAt, nameOffsets[n]);
        Put32(bytes, nAt + 4, section.m_nType);
        Put32(bytes, nAt + 8, section.m_nFlags);
        Put32(bytes, nAt + 12, section.m_nAddress);
        Put32(bytes, nAt + 16, static_cast<uint32_t>(offsets[n]));
        Put32(bytes, nAt + 20, static_cast<uint32_t>(section.m_data.size()));
        Put32(bytes, nAt + 32, 1);
    }
    const size_t nAt = nHeaders + (nCount - 1) * SECTION_HEADER_SIZE;
    Put32(bytes, nAt, nNamesName);
    Put32(bytes, nAt + 4, 3); // SHT_STRTAB
    Put32(bytes, nAt + 16, static_cast<uint32_t>(nNamesAt));
    Put32(bytes, nAt + 20, static_cast<uint32_t>(strNames.size()));
    Put32(bytes, nAt + 32, 1);
    Put32(bytes, HEADER_SHOFF, static_cast<uint32_t>(nHeaders));
    Put16(bytes, HEADER_SHENTSIZE, SECTION_HEADER_SIZE);
    Put16(bytes, HEADER_SHNUM, static_cast<uint16_t>(nCount));
    Put16(bytes, HEADER_SHSTRNDX, static_cast<uint16_t>(nCount - 1));
    return bytes;
}
