#include "app/StationConsole.h"

#include "app/JsonWriter.h"
#include "journal/Journal.h"
#include "lang/LanguageStrings.h"
#include "ui/wizard/ProgressMeter.h"
#include "ui/wizard/StopSignals.h"
#include "ui/wizard/WizardRun.h"
#include "usb/BoardText.h"
#include "usb/virtual/VirtualRegistry.h"

#include <iostream>
#include <unistd.h>

namespace
{
// The progress line is drawn at most this often, and cut to this width.
constexpr std::chrono::milliseconds REDRAW_PERIOD{200};
constexpr size_t PROGRESS_WIDTH = 79;

const char* EventName(EStationEvent eKind)
{
    switch (eKind)
    {
    case EStationEvent::Arrived:
        return "arrived";
    case EStationEvent::Waiting:
        return "waiting";
    case EStationEvent::Started:
        return "started";
    case EStationEvent::Progress:
        return "progress";
    case EStationEvent::Finished:
        return "finished";
    case EStationEvent::Left:
        return "left";
    }
    return "";
}

std::string YieldText(double dYield)
{
    if (dYield < 0)
    {
        return "-";
    }
    char szText[16];
    std::snprintf(szText, sizeof(szText), "%.1f%%", dYield * 100.0);
    return szText;
}

} // namespace

CStationConsole::CStationConsole(std::ostream& out, std::ostream& err, bool bJson,
                                 std::FILE* pProgress)
    : m_out(out), m_err(err), m_bJson(bJson), m_pProgress(pProgress)
{
}

std::string CStationConsole::ResultWord(const CFlashOutcome& outcome)
{
    switch (outcome.m_eEnd)
    {
    case EFlashEnd::Flashed:
        return "flashed";
    case EFlashEnd::Failed:
        return "failed";
    case EFlashEnd::Stopped:
        return "stopped";
    default:
        return "not flashed";
    }
}

std::string CStationConsole::FinishedLine(const CStationEvent& event)
{
    char szSeconds[32];
    std::snprintf(szSeconds, sizeof(szSeconds), "%.2f s", event.m_dSeconds);
    std::string strLine = ShowableBoardText(event.m_strSlot) + '\t' +
                          ShowableBoardText(event.m_strDescription) + '\t' +
                          ResultWord(event.m_outcome) + '\t' + szSeconds;
    const std::string strProblem = FlashProblem(event.m_outcome);
    if (!strProblem.empty())
    {
        strLine += '\t' + ShowableBoardText(strProblem);
    }
    return strLine;
}

void CStationConsole::ClearProgress()
{
    if (m_bProgressShown)
    {
        std::fputs("\r\033[K", m_pProgress);
        std::fflush(m_pProgress);
        m_bProgressShown = false;
    }
}

void CStationConsole::DrawProgress()
{
    if (m_pProgress == nullptr)
    {
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    if (m_percent.empty())
    {
        ClearProgress();
        return;
    }
    if (m_bProgressShown && now - m_lastDrawn < REDRAW_PERIOD)
    {
        return;
    }
    m_lastDrawn = now;
    std::string strLine = "flashing " + std::to_string(m_percent.size()) + ":";
    for (const auto& [strSlot, nPercent] : m_percent)
    {
        const size_t nSlash = strSlot.find_last_of("/\\");
        const std::string strName =
            nSlash == std::string::npos ? strSlot : strSlot.substr(nSlash + 1);
        // Appended piece by piece: GCC 12 warns falsely (-Wrestrict) on " " + a temporary.
        strLine += ' ';
        strLine += ShowableBoardText(strName);
        strLine += ' ';
        strLine += std::to_string(nPercent);
        strLine += '%';
    }
    if (strLine.size() > PROGRESS_WIDTH)
    {
        strLine = strLine.substr(0, PROGRESS_WIDTH - 3) + "...";
    }
    std::fprintf(m_pProgress, "\r\033[K%s", strLine.c_str());
    std::fflush(m_pProgress);
    m_bProgressShown = true;
}

void CStationConsole::OnStationEvent(const CStationEvent& event)
{
    switch (event.m_eKind)
    {
    case EStationEvent::Started:
        m_percent[event.m_strSlot] = 0;
        break;
    case EStationEvent::Progress:
        m_percent[event.m_strSlot] =
            event.m_nTotal == 0 ? 100 : static_cast<int>(event.m_nDone * 100 / event.m_nTotal);
        DrawProgress();
        return;
    case EStationEvent::Finished:
    case EStationEvent::Left:
        m_percent.erase(event.m_strSlot);
        break;
    default:
        break;
    }
    ClearProgress();
    if (m_bJson)
    {
        CJsonObject object;
        object.Add("event", EventName(event.m_eKind))
            .Add("time", UtcIsoTime(event.m_time))
            .Add("slot", event.m_strSlot)
            .Add("description", event.m_strDescription);
        if (event.m_eKind == EStationEvent::Started)
        {
            object.Add("version", event.m_strNote);
        }
        else if (event.m_eKind == EStationEvent::Finished)
        {
            const std::string strProblem = FlashProblem(event.m_outcome);
            object.Add("version", event.m_outcome.m_strVersion)
                .Add("result", ResultWord(event.m_outcome))
                .Add("code", static_cast<int64_t>(event.m_outcome.m_nResult));
            if (strProblem.empty())
            {
                object.AddNull("reason");
            }
            else
            {
                object.Add("reason", strProblem);
            }
            object.Add("bytes_sent", static_cast<int64_t>(event.m_outcome.m_nBytesSent))
                .AddSeconds("seconds", event.m_dSeconds)
                .Add("recorded", event.m_bRecorded);
        }
        else if (!event.m_strNote.empty())
        {
            object.Add("reason", event.m_strNote);
        }
        m_out << object.Text() << std::endl;
    }
    else if (event.m_eKind == EStationEvent::Finished)
    {
        const bool bFlashed = event.m_outcome.m_eEnd == EFlashEnd::Flashed;
        if (!bFlashed || Verbosity() != EVerbosity::Quiet)
        {
            m_out << FinishedLine(event) << std::endl;
        }
    }
    else if (event.m_eKind == EStationEvent::Waiting)
    {
        m_err << ShowableBoardText(event.m_strSlot)
              << ": waiting for the board: " << event.m_strNote << "." << std::endl;
    }
    else if (event.m_eKind == EStationEvent::Left && !event.m_strNote.empty())
    {
        m_err << "Skipping " << ShowableBoardText(event.m_strSlot) << ": "
              << ShowableBoardText(event.m_strNote) << "." << std::endl;
    }
    else if (Verbosity() == EVerbosity::Verbose)
    {
        m_err << ShowableBoardText(event.m_strSlot) << ": " << EventName(event.m_eKind) << " ("
              << ShowableBoardText(event.m_strDescription) << ")" << std::endl;
    }
    DrawProgress();
}

void CStationConsole::OnStationMessage(const std::string& strText)
{
    ClearProgress();
    m_err << strText << std::endl;
    DrawProgress();
}

void CStationConsole::Summary(const CStationCounts& counts, int nExitCode)
{
    ClearProgress();
    if (m_bJson)
    {
        m_out << CJsonObject()
                     .Add("event", "summary")
                     .Add("time", UtcIsoTime(std::chrono::system_clock::now()))
                     .Add("flashed", counts.m_nFlashed)
                     .Add("failed", counts.m_nFailed)
                     .Add("stopped", counts.m_nStopped)
                     .AddShare("yield", counts.Yield())
                     .Add("exit_code", static_cast<int64_t>(nExitCode))
                     .Text()
              << std::endl;
        return;
    }
    if (Verbosity() != EVerbosity::Quiet)
    {
        m_out << counts.m_nFlashed << " flashed, " << counts.m_nFailed << " failed, "
              << counts.m_nStopped << " stopped; yield " << YieldText(counts.Yield()) << std::endl;
    }
}

int RunStationConsole(const CStationOptions& options, bool bJson)
{
    CStopSignalGuard stopSignals;
    ClearStopRequest();
    CStationImage image;
    std::string strError;
    if (!LoadStationImage(options.m_strFileName, image, strError))
    {
        CLanguageStrings& strings = CLanguageStrings::Instance();
        std::cerr << strings.GetString(46) << ": " << strings.GetString(25) << " "
                  << options.m_strFileName << " (" << strError << ")" << std::endl;
        return RESULT_CANNOT_LOAD;
    }
    const bool bTalk = Verbosity() != EVerbosity::Quiet;
    if (bTalk && !image.m_strFormatNote.empty())
    {
        std::cerr << image.m_strFormatNote << std::endl;
    }
    if (bTalk)
    {
        std::cerr << "Station: every board that arrives gets " << image.m_strName << " ("
                  << image.m_data.size() << " bytes, SHA-256 " << image.m_strSha256.substr(0, 12)
                  << "), once per attachment";
        if (options.m_nCount != 0)
        {
            std::cerr << ", until " << options.m_nCount << " are flashed";
        }
        std::cerr << ". Watching " << ShowableBoardText(GetBoardRegistryDirectory())
                  << " and USB; Ctrl-C stops." << std::endl;
    }
    const bool bTerminal = isatty(fileno(stderr)) == 1 && bTalk;
    CStationConsole console(std::cout, std::cerr, bJson, bTerminal ? stderr : nullptr);
    CStation station(std::move(image), options, console);
    const int nResult = station.Run();
    console.Summary(station.Counts(), nResult);
    return nResult;
}
