#pragma once
// SHA-256 (FIPS 180-4) of the image a board receives, for the journal and the station window.
// Small and our own: the command line links no cryptography library, and a digest of a few
// megabytes needs nothing faster.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

class CSha256
{
public:
    CSha256();
    void Update(const void* pData, size_t nSize);
    // The digest of everything given so far; the object is spent afterwards.
    std::array<uint8_t, 32> Final();

private:
    void Block(const uint8_t* pBlock);

    std::array<uint32_t, 8> m_state;
    std::array<uint8_t, 64> m_buffer{};
    size_t m_nBuffered = 0;
    uint64_t m_nLength = 0; // bytes
};

// The digest as 64 lowercase hexadecimal digits, as sha256sum prints it.
std::string Sha256Hex(const void* pData, size_t nSize);
