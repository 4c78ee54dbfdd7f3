#pragma once
// The production station: every board that arrives is flashed once per attachment, each on a
// thread of its own, as soon as it is there, with the run's checks, lock and time-outs. A
// board that stays after its flash is not flashed again; when it leaves and a board arrives in
// its slot (its interface path), that one is. A board that another Quillon process holds is
// left alone until it is free. Each attempt gets a journal row, committed before its slot
// takes the next board; a journal that cannot be written stops the station from starting
// more.
//
// The logic lives here once, free of any toolkit; a face (the console, or the station window)
// shows its events. Run blocks until Ctrl-C or SIGTERM, a Stop, --count boards flashed, or a
// journal failure.

#include "app/BoardFlash.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class CBoardWatch;
class CJournal;

// The image every board gets: read and converted once, when the station starts.
struct CStationImage
{
    std::string m_strPath;     // as given
    std::string m_strFullPath; // absolute, for the journal
    std::string m_strName;     // the file's name
    std::vector<uint8_t> m_data;
    std::string m_strSha256;
    std::string m_strFormatNote; // how an ELF, HEX or S-record file became the image
};

struct CStationOptions
{
    std::string m_strFileName;
    uint32_t m_nCount = 0; // stop once this many boards were flashed; 0: never
    bool m_bNoExecute = false;
    CJournal* m_pJournal = nullptr; // null: no journal
};

enum class EStationEvent
{
    Arrived,  // a board is listed in a slot
    Waiting,  // another Quillon process holds it (m_strNote says which)
    Started,  // its flash began (after its first version reply, once its row was written)
    Progress, // m_nDone of m_nTotal image bytes are on the board
    Finished, // m_outcome says how it ended
    Left,     // it is no longer listed (or nothing answered there: m_strNote says so)
};

struct CStationEvent
{
    EStationEvent m_eKind = EStationEvent::Arrived;
    std::string m_strSlot;
    std::string m_strDescription;
    std::chrono::system_clock::time_point m_time;
    std::string m_strNote;
    uint64_t m_nDone = 0;
    uint64_t m_nTotal = 0;
    CFlashOutcome m_outcome;  // Finished
    double m_dSeconds = 0;    // Finished: from the first command to the end
    bool m_bRecorded = false; // Finished: its journal row is committed
};

// The counters of a station, as the window and the summary show them.
struct CStationCounts
{
    int64_t m_nFlashed = 0;
    int64_t m_nFailed = 0;
    int64_t m_nStopped = 0;
    // Flashed of flashed and failed; negative before any board ended either way.
    double Yield() const;
    // Boards flashed per hour since the station started; negative in its first minute.
    double BoardsPerHour(std::chrono::steady_clock::duration running) const;
};

// What a face of the station does with its events. Calls come from the station's threads,
// one at a time.
class IStationObserver
{
public:
    virtual ~IStationObserver() = default;
    virtual void OnStationEvent(const CStationEvent& event) = 0;
    // An error that stops the station from flashing more boards (the journal), or a warning.
    virtual void OnStationMessage(const std::string& strText) = 0;
};

// Reads and converts the image; false with the reason (the run's exit code is then 25).
bool LoadStationImage(const std::string& strFileName, CStationImage& image, std::string& strError);

class CStation
{
public:
    CStation(CStationImage image, CStationOptions options, IStationObserver& observer);
    ~CStation();
    CStation(const CStation&) = delete;
    CStation& operator=(const CStation&) = delete;

    // Runs until a stop (signal or RequestStop), --count flashed boards, or a journal failure.
    // Returns the exit code: 73 when the journal could not be written; else 2 when a stop
    // interrupted a flash or came before --count was reached; else 39 when any board failed;
    // else 0.
    int Run();
    // From any thread: flashes in progress stop as a stop signal stops them.
    void RequestStop();

    const CStationImage& Image() const { return m_image; }
    CStationCounts Counts() const;
    std::chrono::steady_clock::time_point StartTime() const { return m_startTime; }

private:
    struct CSlot;

    void Scan();
    void Reap();
    void StartWorker(CSlot& slot);
    void Work(CSlot& slot);
    // The board's lock, waited for while another process holds it; false when the board left
    // or a stop came first.
    bool HoldBoard(CSlot& slot, class CBoardLock& lock);
    void Emit(CStationEvent event);
    void Message(const std::string& strText);
    void JournalFailed(const std::string& strError);
    bool Stopping() const;
    int RunningWorkers() const;

    CStationImage m_image;
    CStationOptions m_options;
    IStationObserver& m_observer;
    const CFlashTexts m_texts;

    mutable std::mutex m_mutex; // the slots' states, the counters and the observer
    std::map<std::string, std::unique_ptr<CSlot>> m_slots;
    CStationCounts m_counts;
    bool m_bStopInterrupted = false;
    std::atomic<bool> m_bStopRequested{false};
    std::atomic<bool> m_bJournalFailed{false};
    bool m_bLockWarned = false;
    std::condition_variable m_stopCondition;
    std::unique_ptr<CBoardWatch> m_pWatch;
    std::chrono::steady_clock::time_point m_startTime;
};
