#include "app/Station.h"

#include "app/BoardWatch.h"
#include "app/FileOutput.h"
#include "app/JournalReport.h"
#include "app/QuillonApp.h"
#include "image/FirmwareImage.h"
#include "image/Sha256.h"
#include "journal/Journal.h"
#include "ui/wizard/StopSignals.h"
#include "ui/wizard/WizardRun.h"
#include "usb/BoardLock.h"
#include "usb/BoardText.h"
#include "usb/PipeLayer.h"
#include "usb/libusb/UsbBoardIds.h"

#include <exception>
#include <filesystem>

struct CStation::CSlot
{
    std::string m_strPath;
    std::string m_strDescription;
    std::string m_strAttachment;
    std::thread m_thread;
    std::atomic<bool> m_bDone{false};
    // This attachment is no longer listed.
    std::atomic<bool> m_bLeft{false};
    // Nothing answered there (a directory a killed board program left, or a board that went
    // at once): left alone, and its going is not said again.
    std::atomic<bool> m_bAbsent{false};
};

double CStationCounts::Yield() const
{
    const int64_t nEnded = m_nFlashed + m_nFailed;
    return nEnded == 0 ? -1.0 : static_cast<double>(m_nFlashed) / static_cast<double>(nEnded);
}

double CStationCounts::BoardsPerHour(std::chrono::steady_clock::duration running) const
{
    const double dHours = std::chrono::duration<double>(running).count() / 3600.0;
    return running < std::chrono::minutes(1) ? -1.0 : static_cast<double>(m_nFlashed) / dHours;
}

bool LoadStationImage(const std::string& strFileName, CStationImage& image, std::string& strError)
{
    std::vector<uint8_t> fileData;
    if (!ReadWholeFile(strFileName, fileData, strError))
    {
        return false;
    }
    CFirmwareImage converted = ConvertFirmware(std::move(fileData), ImageOptions());
    if (!converted.m_bOk)
    {
        strError = converted.m_strError;
        return false;
    }
    if (converted.m_data.empty())
    {
        strError = "the image is empty";
        return false;
    }
    image.m_strPath = strFileName;
    image.m_strFullPath = JournalImagePath(strFileName);
    const std::u8string strName = std::filesystem::u8path(strFileName).filename().u8string();
    image.m_strName = std::string(strName.begin(), strName.end());
    if (converted.m_format != EFirmwareFormat::BINARY)
    {
        image.m_strFormatNote = DescribeImage(strFileName, converted);
    }
    image.m_data = std::move(converted.m_data);
    image.m_strSha256 = Sha256Hex(image.m_data.data(), image.m_data.size());
    return true;
}

CStation::CStation(CStationImage image, CStationOptions options, IStationObserver& observer)
    : m_image(std::move(image)), m_options(std::move(options)), m_observer(observer),
      m_startTime(std::chrono::steady_clock::now())
{
}

CStation::~CStation()
{
    // Run joins its workers before it returns; these are only those of a Run cut short.
    m_bStopRequested = true;
    for (auto& [strPath, pSlot] : m_slots)
    {
        if (pSlot->m_thread.joinable())
        {
            pSlot->m_thread.join();
        }
    }
}

CStationCounts CStation::Counts() const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_counts;
}

bool CStation::Stopping() const
{
    return m_bStopRequested || StopRequested();
}

void CStation::RequestStop()
{
    m_bStopRequested = true;
    RaisePipeCancel();
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_stopCondition.notify_all();
    if (m_pWatch)
    {
        m_pWatch->Wake();
    }
}

void CStation::Emit(CStationEvent event)
{
    event.m_time = std::chrono::system_clock::now();
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_observer.OnStationEvent(event);
}

void CStation::Message(const std::string& strText)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_observer.OnStationMessage(strText);
}

void CStation::JournalFailed(const std::string& strError)
{
    if (!m_bJournalFailed.exchange(true))
    {
        Message(strError + ". No further board is flashed: a board that is not recorded is a "
                           "defect. Mend the journal (or name another) and start again.");
    }
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_stopCondition.notify_all();
    if (m_pWatch)
    {
        m_pWatch->Wake();
    }
}

int CStation::RunningWorkers() const
{
    int nRunning = 0;
    for (const auto& [strPath, pSlot] : m_slots)
    {
        nRunning += pSlot->m_thread.joinable() && !pSlot->m_bDone ? 1 : 0;
    }
    return nRunning;
}

int CStation::Run()
{
    {
        auto pWatch = std::make_unique<CBoardWatch>();
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_pWatch = std::move(pWatch);
    }
    m_startTime = std::chrono::steady_clock::now();
    if (const std::string strProblem = m_pWatch->Problem(); !strProblem.empty())
    {
        Message("Virtual boards are looked for every second: " + strProblem + ".");
    }
    // USB boards announce themselves where the system reports arrivals; elsewhere the bus is
    // looked at every second.
    const int nWaitMs = UsbNeedsPolling() ? 1000 : -1;
    for (;;)
    {
        Reap();
        if (Stopping())
        {
            break;
        }
        const bool bNoMore = m_bJournalFailed ||
                             (m_options.m_nCount != 0 && Counts().m_nFlashed >= m_options.m_nCount);
        if (bNoMore && RunningWorkers() == 0)
        {
            break;
        }
        Scan();
        m_pWatch->Wait(nWaitMs);
    }
    if (Stopping())
    {
        // The stop signal raised it already; a Stop of the window has too.
        RaisePipeCancel();
    }
    for (auto& [strPath, pSlot] : m_slots)
    {
        if (pSlot->m_thread.joinable())
        {
            pSlot->m_thread.join();
        }
    }
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_pWatch.reset();
    }
    const CStationCounts counts = Counts();
    if (m_bJournalFailed)
    {
        return EXIT_CANNOT_WRITE;
    }
    if (m_bStopInterrupted ||
        (Stopping() && m_options.m_nCount != 0 && counts.m_nFlashed < m_options.m_nCount))
    {
        return RESULT_CANCELLED;
    }
    return counts.m_nFailed > 0 ? RESULT_SEND_FAILED : RESULT_LOADED;
}

void CStation::Reap()
{
    for (auto it = m_slots.begin(); it != m_slots.end();)
    {
        CSlot& slot = *it->second;
        if (slot.m_thread.joinable() && slot.m_bDone)
        {
            slot.m_thread.join();
        }
        if (slot.m_bLeft && !slot.m_thread.joinable())
        {
            it = m_slots.erase(it);
            continue;
        }
        ++it;
    }
}

void CStation::Scan()
{
    const std::vector<CInterfaceEntry> entries = PipeLayer::ListInterfaces();
    std::map<std::string, const CInterfaceEntry*> listed;
    for (const CInterfaceEntry& entry : entries)
    {
        if (entry.m_bPathOk && !entry.m_strPath.empty())
        {
            listed.emplace(entry.m_strPath, &entry);
        }
    }
    for (auto& [strPath, pSlot] : m_slots)
    {
        const auto it = listed.find(strPath);
        const bool bThere =
            it != listed.end() && it->second->m_strAttachment == pSlot->m_strAttachment;
        if (!bThere && !pSlot->m_bLeft.exchange(true) && !pSlot->m_bAbsent)
        {
            CStationEvent event;
            event.m_eKind = EStationEvent::Left;
            event.m_strSlot = strPath;
            event.m_strDescription = pSlot->m_strDescription;
            Emit(std::move(event));
        }
    }
    // A board whose slot still finishes the board before it waits for that one's row.
    Reap();
    const bool bNoMore =
        m_bJournalFailed || (m_options.m_nCount != 0 && Counts().m_nFlashed >= m_options.m_nCount);
    for (const auto& [strPath, pEntry] : listed)
    {
        if (m_slots.count(strPath) != 0)
        {
            continue;
        }
        auto pSlot = std::make_unique<CSlot>();
        pSlot->m_strPath = strPath;
        // A description that does not fit the device's text buffer is dropped, as discovery does.
        if (pEntry->m_bDescriptionOk && pEntry->m_strDescription.size() <= MAX_DESCRIPTION_LENGTH)
        {
            pSlot->m_strDescription = pEntry->m_strDescription;
        }
        pSlot->m_strAttachment = pEntry->m_strAttachment;
        CSlot& slot = *pSlot;
        m_slots.emplace(strPath, std::move(pSlot));
        CStationEvent event;
        event.m_eKind = EStationEvent::Arrived;
        event.m_strSlot = strPath;
        event.m_strDescription = slot.m_strDescription;
        Emit(std::move(event));
        if (!bNoMore && !Stopping())
        {
            StartWorker(slot);
        }
    }
}

void CStation::StartWorker(CSlot& slot)
{
    slot.m_thread = std::thread(
        [this, &slot]()
        {
            try
            {
                Work(slot);
            }
            catch (const std::exception& error)
            {
                Message(ShowableBoardText(slot.m_strPath) + ": internal error: " + error.what());
            }
            slot.m_bDone = true;
            const std::lock_guard<std::mutex> lock(m_mutex);
            if (m_pWatch)
            {
                m_pWatch->Wake();
            }
        });
}

bool CStation::HoldBoard(CSlot& slot, CBoardLock& lock)
{
    bool bSaid = false;
    for (;;)
    {
        lock = CBoardLock::TryLock(slot.m_strPath);
        switch (lock.State())
        {
        case EBoardLock::Busy:
            break;
        case EBoardLock::Unavailable:
        {
            // Better a flash without the lock than none where locks cannot be had at all.
            bool bWarn = false;
            {
                const std::lock_guard<std::mutex> guard(m_mutex);
                bWarn = !m_bLockWarned;
                m_bLockWarned = true;
            }
            if (bWarn)
            {
                Message("Cannot hold the boards for their whole flash (" +
                        ShowableBoardText(lock.Error()) + "); going on without.");
            }
            return true;
        }
        default:
            return true;
        }
        if (!bSaid)
        {
            bSaid = true;
            CStationEvent event;
            event.m_eKind = EStationEvent::Waiting;
            event.m_strSlot = slot.m_strPath;
            event.m_strDescription = slot.m_strDescription;
            event.m_strNote = BoardInUseText(lock.Holder());
            Emit(std::move(event));
        }
        std::unique_lock<std::mutex> guard(m_mutex);
        if (Stopping() || slot.m_bLeft || m_bJournalFailed)
        {
            return false;
        }
        m_stopCondition.wait_for(guard, std::chrono::milliseconds(WIZARD_POLL_PERIOD));
    }
}

void CStation::Work(CSlot& slot)
{
    CBoardLock lock;
    if (!HoldBoard(slot, lock))
    {
        return;
    }
    CJournalAttempt attempt;
    attempt.m_strSlot = slot.m_strPath;
    attempt.m_strDescription = slot.m_strDescription;
    attempt.m_strImagePath = m_image.m_strFullPath;
    attempt.m_nImageSize = m_image.m_data.size();
    attempt.m_strImageSha256 = m_image.m_strSha256;
    attempt.m_start = std::chrono::system_clock::now();
    const auto start = std::chrono::steady_clock::now();
    int64_t nRow = 0;
    bool bBegun = false;
    int nLastPercent = -1;

    CFlashHooks hooks;
    hooks.m_fnBegin = [&](const std::string& strVersion)
    {
        // A slot whose board left meanwhile holds the next board there, which is an attachment
        // of its own and gets a slot of its own.
        if (m_bJournalFailed || slot.m_bLeft)
        {
            return false;
        }
        attempt.m_strVersion = strVersion;
        if (m_options.m_pJournal != nullptr)
        {
            std::string strError;
            nRow = m_options.m_pJournal->Begin(attempt, strError);
            if (nRow == 0)
            {
                JournalFailed(strError);
                return false;
            }
        }
        bBegun = true;
        CStationEvent event;
        event.m_eKind = EStationEvent::Started;
        event.m_strSlot = slot.m_strPath;
        event.m_strDescription = slot.m_strDescription;
        event.m_strNote = strVersion;
        event.m_nTotal = m_image.m_data.size();
        Emit(std::move(event));
        return true;
    };
    hooks.m_fnProgress = [&](uint64_t nDone, uint64_t nTotal)
    {
        const int nPercent = nTotal == 0 ? 100 : static_cast<int>(nDone * 100 / nTotal);
        if (nPercent != nLastPercent)
        {
            nLastPercent = nPercent;
            CStationEvent event;
            event.m_eKind = EStationEvent::Progress;
            event.m_strSlot = slot.m_strPath;
            event.m_strDescription = slot.m_strDescription;
            event.m_nDone = nDone;
            event.m_nTotal = nTotal;
            Emit(std::move(event));
        }
        return true;
    };
    hooks.m_fnStopRequested = [this]() { return m_bStopRequested.load(); };

    CUsbDevice device(CUsbDeviceInfo(slot.m_strPath, slot.m_strDescription));
    const CFlashOutcome outcome =
        FlashHeldBoard(device, m_image.m_data, m_options.m_bNoExecute, m_texts, hooks);
    device.ClosePipes();

    CStationEvent event;
    event.m_strSlot = slot.m_strPath;
    event.m_strDescription = slot.m_strDescription;
    if (outcome.m_eEnd == EFlashEnd::Absent)
    {
        slot.m_bAbsent = true;
        event.m_eKind = EStationEvent::Left;
        event.m_strNote = outcome.m_strReason;
        Emit(std::move(event));
        return;
    }
    if (!bBegun)
    {
        // Held back by the journal or because the board left, or stopped before anything was
        // asked of it but its version: nothing was done to it.
        if (outcome.m_eEnd == EFlashEnd::HeldBack && m_bJournalFailed)
        {
            event.m_eKind = EStationEvent::Finished;
            event.m_outcome = outcome;
            event.m_outcome.m_strReason = "the journal cannot be written";
            Emit(std::move(event));
        }
        return;
    }
    attempt.m_end = std::chrono::system_clock::now();
    attempt.m_dSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    attempt.m_strResult = outcome.m_eEnd == EFlashEnd::Flashed  ? JOURNAL_FLASHED
                          : outcome.m_eEnd == EFlashEnd::Failed ? JOURNAL_FAILED
                                                                : JOURNAL_STOPPED;
    attempt.m_nExitCode = outcome.m_nResult;
    attempt.m_strReason = FlashProblem(outcome);
    bool bRecorded = false;
    if (m_options.m_pJournal != nullptr)
    {
        std::string strError;
        bRecorded = m_options.m_pJournal->Finish(nRow, attempt, strError);
        if (!bRecorded)
        {
            JournalFailed(strError);
        }
    }
    {
        const std::lock_guard<std::mutex> guard(m_mutex);
        switch (outcome.m_eEnd)
        {
        case EFlashEnd::Flashed:
            ++m_counts.m_nFlashed;
            break;
        case EFlashEnd::Failed:
            ++m_counts.m_nFailed;
            break;
        default:
            ++m_counts.m_nStopped;
            m_bStopInterrupted = true;
            break;
        }
    }
    event.m_eKind = EStationEvent::Finished;
    event.m_outcome = outcome;
    event.m_dSeconds = attempt.m_dSeconds;
    event.m_bRecorded = bRecorded;
    Emit(std::move(event));
}
