#pragma once
// Files read whole, and a file written whole or not at all. A regular file (or a new one) is
// written into a temporary file beside it, flushed to the disk and renamed over the name asked for,
// so that a failed or interrupted write leaves an earlier file of that name as it was and nothing
// else behind. A device or a pipe named as the target is written directly.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class CAtomicFile
{
public:
    CAtomicFile() = default;
    // Removes the temporary file unless Commit succeeded.
    ~CAtomicFile();
    CAtomicFile(const CAtomicFile&) = delete;
    CAtomicFile& operator=(const CAtomicFile&) = delete;

    // Creates the temporary file (or opens a device or pipe); false with the reason.
    bool Open(const std::string& strPath, std::string& strError);
    // Writes the bytes, flushes them to the disk and puts the file in place.
    bool Commit(const void* pData, size_t nSize, std::string& strError);

private:
    void Discard();

    std::string m_strPath;
    std::string m_strTemporary; // empty when writing directly
    int m_fd = -1;
};

// A file opened for reading its bytes as they are; closed with the object. The open does not
// block (a FIFO without a writer reads as empty).
class CInputFile
{
public:
    explicit CInputFile(const std::string& strPath);
    ~CInputFile();
    CInputFile(const CInputFile&) = delete;
    CInputFile& operator=(const CInputFile&) = delete;

    bool IsOpen() const { return m_hFile != -1; }
    // The size in bytes when opened; -1 when it could not be learnt.
    int64_t Size() const { return m_nSize; }
    // Up to nSize bytes: how many were read, 0 at the end, -1 on an error.
    int64_t Read(void* pData, size_t nSize);

private:
    // The descriptor (POSIX) or file HANDLE (Windows); -1 for none.
    std::intptr_t m_hFile = -1;
    int64_t m_nSize = -1;
};

// The whole file (a FIFO without a writer reads as empty); false with the reason in strError
// for a missing, unreadable, empty or short file, or one of 4 GiB or more.
bool ReadWholeFile(const std::string& strPath, std::vector<uint8_t>& data, std::string& strError);

// For the platform files: makes room in data for a whole file of nSize bytes; false with the
// reason for an empty file, one of 4 GiB or more, or one that does not fit in memory.
bool MakeRoomForWholeFile(uint64_t nSize, std::vector<uint8_t>& data, std::string& strError);

// Writes all bytes to a descriptor, going on after interruptions; false on an error.
bool WriteAllTo(int fd, const void* pData, size_t nSize);
