#pragma once
// The unattended run: read the file, poll for a board, send the file, tell the bootloader to
// execute it. The logic lives here once, free of any toolkit; a face (the wizard window or
// the console-only run) supplies the status box, the error boxes, the poll timer and the end.

#include "usb/UsbDevice.h"

class CBoardLock;
class CJournal;

#include <chrono>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

constexpr int WIZARD_TIMER_ID = 1224;
constexpr int WIZARD_POLL_PERIOD = 100; // milliseconds
constexpr int WIZARD_HIDDEN_POLLS = 10;

// The run's results; each failure is the id of the language string that names it.
constexpr int RESULT_LOADED = 0;
constexpr int RESULT_CANCELLED = 2;
constexpr int RESULT_CANNOT_LOAD = 25;
constexpr int RESULT_SEND_FAILED = 39;
constexpr int RESULT_OLD_BOOTLOADER = 47;
// Not the language's: a board is attached but this user may not open it.
constexpr int RESULT_NO_ACCESS = 77;

// The length field of the send command has 32 bits.
constexpr uint64_t MAX_SEND_FILE_SIZE = 0xFFFFFFFFull;

// What a run needs of the window (or console) that shows it.
class IWizardFace
{
public:
    virtual ~IWizardFace() = default;
    // Replaces the whole text of the status box.
    virtual void SetStatusText(const std::string& strText) = 0;
    // A modal error box; bSystemModal for the timer failure, otherwise with the error icon.
    virtual void ShowErrorBox(const std::string& strText, const std::string& strCaption,
                              bool bSystemModal) = 0;
    virtual void SetVisible(bool bVisible) = 0;
    virtual void SetCancelCaption(const std::string& strCaption) = 0;
    // Starts the one-shot wait for the next tick; 0 on success, else an errno-style code.
    virtual int StartPollTimer() = 0;
    // Ends the dialog with nResult (the modal run then returns it).
    virtual void EndDialog(int nResult) = 0;
    // Between the pieces of a block on the wire; false abandons the block.
    virtual bool OnTransferProgress(uint64_t nDone, uint64_t nTotal) = 0;
    // Once, when the run starts to wait: what for, where it looks and how to stop it. A window
    // shows its own request instead.
    virtual void ShowWaitingNotice(const std::string& strNotice) = 0;
};

// Options for people who script the run; the defaults give the plain behaviour.
struct CWizardOptions
{
    // Use the board with this interface path instead of the first one.
    std::string m_strDevicePath;
    // Give up with RESULT_CANCELLED when no board was found within this time; <0: never.
    int64_t m_nWaitMs = -1;
    // Send only: the board is not told to execute the file.
    bool m_bNoExecute = false;
    // A row for the board the run used, written when the run ends; null: none.
    CJournal* m_pJournal = nullptr;
};

// What a run did, for the machine-readable summary: the board, and how far it got.
struct CRunRecord
{
    std::string m_strDevicePath; // empty: no board was used
    std::string m_strDescription;
    std::string m_strVersion;
    uint64_t m_nBytesSent = 0;
    double m_dSeconds = 0;   // from the start to the end of the run
    std::string m_strReason; // why the run failed, in words; empty when it did not
    std::chrono::system_clock::time_point m_boardStart; // when the board was first asked
};

class CWizardRun
{
public:
    CWizardRun(IWizardFace& face, std::string strFileName, CWizardOptions options = {});
    CWizardRun(const CWizardRun&) = delete;
    CWizardRun& operator=(const CWizardRun&) = delete;

    // Reads the file and starts waiting. False when the run already ended (result 25).
    bool Start();
    // One poll: the kill-first tick of the poll timer.
    void OnTimer();
    // Cancel, Escape, closing the window or a stop signal. While a block is on the wire the
    // block is abandoned first and the run then ends with RESULT_CANCELLED from its tick.
    void Cancel();

    bool IsEnded() const { return m_bEnded; }
    int Result() const { return m_nResult; }
    bool IsTransferring() const { return m_bTransferring; }
    uint64_t FileSize() const { return m_nFileSize; }
    bool HoldsFileData() const { return !m_fileData.empty(); }
    const CRunRecord& Record() const { return m_record; }

    // The version line "<name> version:<n>" from the current language's string 21.
    static std::string VersionLine();
    // Empty polls since the program started; never reset by a run.
    static int s_nPollCount;

private:
    bool LoadFile();
    void FailLoad(const std::string& strReason);
    // False when the board turned out not to be there; nothing was reported then.
    bool Transfer(CUsbDevice& device);
    // busyLock: the lock attempt that found the board held by another process, if any.
    void WaitForNextPoll(const CBoardLock& busyLock);
    void Report(const std::string& strText);
    void Fail(int nResult, const std::string& strText);
    void End(int nResult);
    // The journal row of the board used; the run's result, or 73 when it cannot be written.
    int RecordInJournal(int nResult);
    void ReleaseFileData();
    bool CancelRequested() const;
    void StartTimerOrComplain();
    bool WaitExpired() const;
    // False while another process holds the board.
    bool HoldBoard(const std::string& strDevicePath, CBoardLock* pLock);

    IWizardFace& m_face;
    std::string m_strFileName;
    CWizardOptions m_options;
    uint64_t m_nFileSize = 0;
    std::vector<uint8_t> m_fileData;
    bool m_bEnded = false;
    int m_nResult = -1;
    bool m_bTransferring = false;
    bool m_bCancelRequested = false;
    bool m_bBoardBusySaid = false;
    bool m_bLockWarned = false;
    bool m_bSeveralSaid = false;
    bool m_bWaitingSaid = false;
    // The board being tried: how many were listed, whether it is the first of them, and the
    // board held by another process that was passed over for it ("PATH: board in use by ...").
    size_t m_nBoardsListed = 0;
    bool m_bFirstListed = true;
    std::string m_strBusyPassedOver;
    CRunRecord m_record;
    std::chrono::steady_clock::time_point m_startTime;
    std::set<std::string> m_absentBoards; // named once on standard error
    std::string m_strImageSha256;         // with a journal
};

// The line after the report of a run with --no-execute, so that it does not read as a full run.
inline constexpr char NOT_STARTED_LINE[] =
    "Not started (--no-execute): the board holds the program; start it with --execute.";
// Why a run that met the old bootloader failed (the window's text names it too).
inline constexpr char OLD_BOOTLOADER_REASON[] =
    "the board runs the old bootloader \"quillon V1.0c\", which is refused";
// Why a run whose execute the board did not confirm failed, given the transport's reason.
std::string ExecuteFailureReason(const std::string& strFailure);

// Said on standard error when several boards are attached and none was chosen: which one is
// used, how many there are and how to choose. bFirst: the board used is the first listed;
// otherwise strBusy says which board was passed over as held by another process (see
// BusyBoardText), or is empty when those before did not answer.
std::string SeveralBoardsNotice(size_t nBoards, const CUsbDeviceInfo& used, bool bFirst = true,
                                const std::string& strBusy = std::string());
// "PATH: board in use by process N", for a board passed over.
std::string BusyBoardText(const std::string& strDevicePath, const CBoardLock& lock);

// Said once on standard error when a console run starts to wait: strWhat ("a board", "the
// board PATH", ...), where boards are looked for, and how to stop or bound the wait
// (nWaitMs < 0: no --wait given).
std::string WaitingNotice(const std::string& strWhat, int64_t nWaitMs);
// What a run waits for: any board, or the one of --device.
std::string WaitedBoard(const std::string& strDevicePath);
// Seconds as the options take them: "10", "2.5".
std::string SecondsText(int64_t nMilliseconds);

// The built-in version number of the executable's resources (string resource 5001).
inline constexpr char PROGRAM_VERSION[] = QUILLON_VERSION; // the project version in CMakeLists.txt
inline constexpr char PROGRAM_NAME[] = "Quillon";
