#pragma once
// Files read whole, and the outputs of --receive and --convert. An output that is a regular
// file (or a new name) is written into a temporary file beside it, flushed to the disk and
// renamed over the name asked for, so that a failed or interrupted write leaves an earlier file
// of that name as it was and nothing else behind; the new file keeps the old one's mode, owner
// and group. A file with other names (hard links), or one whose owner or group this user cannot
// give a new file, is written in place instead, so that every name keeps seeing it. A symbolic
// link is followed to the file it names. Anything else (a device, a FIFO, a terminal, standard
// output as /dev/stdout or /dev/fd/N) is written through as a stream: never renamed over.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class COutputFile
{
public:
    COutputFile() = default;
    ~COutputFile();
    COutputFile(const COutputFile&) = delete;
    COutputFile& operator=(const COutputFile&) = delete;

    // Looks at the target without creating or opening anything, so that it can neither block
    // nor leave a file behind: false with the reason for a folder, a missing folder, a file or
    // folder this user may not write (as cp refuses it), or a socket.
    bool Prepare(const std::string& strPath, std::string& strError);
    // The program's own standard output ("-").
    void PrepareStandardOutput();
    // The target is the program's standard output (also when named as /dev/stdout): the report
    // lines then go to standard error.
    bool IsStandardOutput() const { return m_eKind == EKind::StandardOutput; }
    // Writes the bytes as Prepare found fit (looking again, as the target may have changed).
    // A FIFO without a reader is waited for, and so is a stream that takes nothing, for at
    // most the pipe time-out without progress; a stop signal ends every wait. False with the
    // reason.
    bool Commit(const void* pData, size_t nSize, std::string& strError);

private:
    enum class EKind
    {
        None,
        StandardOutput,
        Stream, // m_strTarget is opened and written through
        File,   // m_strTarget is a regular file, or a new one
    };
    bool WriteFile(const void* pData, size_t nSize, std::string& strError);
    bool WriteInPlace(const void* pData, size_t nSize, std::string& strError);
    bool WriteStream(const void* pData, size_t nSize, std::string& strError);
    void Discard();

    EKind m_eKind = EKind::None;
    std::string m_strPath;   // as the user named it
    std::string m_strTarget; // what it names, links followed
    bool m_bFifo = false;
    std::intptr_t m_hDirectory = -1; // the target's folder while a temporary file exists
    std::string m_strTemporary;      // its name in that folder; empty when there is none
    int m_fd = -1;
};

// A regular file opened for reading its bytes as they are; closed with the object. The open does
// not block: a folder, a FIFO, a device or a socket is not opened, and Error() says which it is.
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
    // Why it is not open, for the user ("No such file or directory", "it is a folder", ...).
    const std::string& Error() const { return m_strError; }

private:
    // The descriptor (POSIX) or file HANDLE (Windows); -1 for none.
    std::intptr_t m_hFile = -1;
    int64_t m_nSize = -1;
    std::string m_strError;
};

// The whole regular file; false with the reason in strError for a missing or unreadable file,
// a folder, FIFO, device or socket, an empty or short file, or one of 4 GiB or more.
bool ReadWholeFile(const std::string& strPath, std::vector<uint8_t>& data, std::string& strError);

// For the platform files: makes room in data for a whole file of nSize bytes; false with the
// reason for an empty file, one of 4 GiB or more, or one that does not fit in memory.
bool MakeRoomForWholeFile(uint64_t nSize, std::vector<uint8_t>& data, std::string& strError);

// Writes all bytes to a descriptor, going on after interruptions; false on an error.
bool WriteAllTo(int fd, const void* pData, size_t nSize);
