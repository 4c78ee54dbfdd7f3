#pragma once
// Running the program and virtual boards as processes: a private registry and home per test,
// the program's output and exit status, and what crossed each board's wire from its log.

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <sys/types.h>
#include <vector>

struct CProcessResult
{
    int m_nExitCode = -1; // -1 when the process ended by a signal or did not end in time
    int m_nSignal = 0;
    bool m_bTimedOut = false;
    std::string m_strOut;
    std::string m_strErr;
};

// A child process with its standard output and error on pipes; killed if still running when
// the object goes.
class CChildProcess
{
public:
    CChildProcess() = default;
    ~CChildProcess();
    CChildProcess(const CChildProcess&) = delete;
    CChildProcess& operator=(const CChildProcess&) = delete;

    bool Start(const std::vector<std::string>& arguments,
               const std::vector<std::string>& environment, const std::string& strDirectory);
    void Signal(int nSignal) const;
    // The child's process id while it runs (until Wait reaps it).
    pid_t Pid() const { return m_pid; }
    // Reads standard output until it holds nLines lines or the time is up.
    bool WaitForLines(size_t nLines, std::chrono::milliseconds timeout);
    // Reads both streams to their end and reaps the process.
    CProcessResult Wait(std::chrono::milliseconds timeout);

private:
    bool Pump(std::chrono::milliseconds timeout);

    pid_t m_pid = -1;
    int m_outFd = -1;
    int m_errFd = -1;
    std::string m_strOut;
    std::string m_strErr;
};

// A scratch directory with a registry of virtual boards, a home and a config directory.
class CScratch
{
public:
    CScratch();
    ~CScratch();
    CScratch(const CScratch&) = delete;
    CScratch& operator=(const CScratch&) = delete;

    std::string m_strRoot;
    std::string Registry() const { return m_strRoot + "/boards"; }
    std::string BoardLog() const { return m_strRoot + "/wire.log"; }
    std::string Path(const std::string& strName) const { return m_strRoot + "/" + strName; }

    // The environment of a console-only run of the program in this scratch area, with
    // extra "NAME=VALUE" entries (an entry "NAME=" removes NAME).
    std::vector<std::string> Environment(const std::vector<std::string>& extra = {}) const;
    void WriteFile(const std::string& strName, const std::string& strContents) const;
    // Sets the user's language store (the stand-in for the registry value).
    void SetUserLanguage(const std::string& strId) const;
};

// One quillon-board process serving the given boards ("NAME=DESCRIPTION") in the scratch
// registry, with its wire log in the scratch area.
class CBoardProcess
{
public:
    bool Start(const CScratch& scratch, const std::vector<std::string>& boards,
               const std::vector<std::string>& options = {});
    void Stop();
    // SIGKILL: the boards' directories stay behind, with nobody listening on their sockets.
    void Kill();
    ~CBoardProcess() { Stop(); }

private:
    CChildProcess m_process;
    bool m_bRunning = false;
};

// What one board's log says crossed its wire.
struct CBoardWire
{
    std::vector<uint8_t> m_hostToBoard;
    std::vector<uint8_t> m_boardToHost;
    int m_nSessions = 0;
};
std::map<std::string, CBoardWire> ReadWireLog(const std::string& strLogPath);

// A length as the wire carries it: 32 bits, little-endian.
std::string WireLength(uint32_t nLength);

// The program under test and a run of it to its end.
std::string ProgramPath();
CProcessResult RunProgram(const std::vector<std::string>& arguments,
                          const std::vector<std::string>& environment,
                          const std::string& strDirectory,
                          std::chrono::milliseconds timeout = std::chrono::seconds(20));

// The text of a string id in a section of the built language file, as the program finds it.
std::string LanguageText(int nId, const std::string& strSection = "LANG_ENGLISH");
