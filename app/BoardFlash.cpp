#include "app/BoardFlash.h"

#include "lang/CRuntimeRules.h"
#include "lang/LanguageStrings.h"
#include "lang/TextFormat.h"
#include "ui/wizard/StopSignals.h"
#include "ui/wizard/WizardRun.h"

namespace
{
std::string TextUpToNul(const std::string& strReply)
{
    return strReply.substr(0, strReply.find('\0'));
}

// The device keeps no callback into a sequence that has ended.
struct CProgressReset
{
    CUsbDevice& m_device;
    ~CProgressReset() { m_device.SetProgress({}); }
};
} // namespace

CFlashTexts::CFlashTexts()
    : m_strLoaded(CLanguageStrings::Instance().GetString(26)),
      m_strExecuteFailed(CLanguageStrings::Instance().GetString(36)),
      m_strSendFailed(CLanguageStrings::Instance().GetString(39)),
      m_strOldBootloader(CLanguageStrings::Instance().GetString(47))
{
}

CFlashOutcome FlashHeldBoard(CUsbDevice& device, const std::vector<uint8_t>& image, bool bNoExecute,
                             const CFlashTexts& texts, const CFlashHooks& hooks)
{
    CFlashOutcome outcome;
    auto stopRequested = [&hooks]()
    { return StopRequested() || (hooks.m_fnStopRequested && hooks.m_fnStopRequested()); };
    auto end =
        [&outcome](EFlashEnd eEnd, int nResult, std::string strMessage, std::string strReason)
    {
        outcome.m_eEnd = eEnd;
        outcome.m_nResult = nResult;
        outcome.m_strMessage = std::move(strMessage);
        outcome.m_strReason = std::move(strReason);
        return outcome;
    };
    auto step = [&hooks](EFlashStep eStep)
    {
        if (hooks.m_fnStep)
        {
            hooks.m_fnStep(eStep);
        }
    };
    auto stopped = [&](const char* pszWhen) {
        return end(EFlashEnd::Stopped, RESULT_CANCELLED, "Stopped",
                   std::string("stopped ") + pszWhen);
    };
    const CProgressReset reset{device};
    device.SetProgress(
        [&](uint64_t nDone, uint64_t nTotal)
        { return !stopRequested() && (!hooks.m_fnProgress || hooks.m_fnProgress(nDone, nTotal)); });

    outcome.m_strVersion = TextUpToNul(device.GetVersion());
    if (outcome.m_strVersion.empty() && device.BoardAbsent())
    {
        // Gone before it answered, or a directory that a killed board program left behind.
        return end(EFlashEnd::Absent, RESULT_CANCELLED, "",
                   "no board answers there (" + device.FailureReason() + ")");
    }
    if (stopRequested())
    {
        return stopped("before sending");
    }
    if (hooks.m_fnBegin && !hooks.m_fnBegin(outcome.m_strVersion))
    {
        return end(EFlashEnd::HeldBack, RESULT_CANCELLED, "", "not started");
    }
    const std::string strCheck = TextUpToNul(device.GetVersion());
    if (stopRequested())
    {
        return stopped("before sending");
    }
    if (MbsUpr(strCheck) == MbsUpr(OLD_BOOTLOADER_BANNER))
    {
        return end(EFlashEnd::Failed, RESULT_OLD_BOOTLOADER, texts.m_strOldBootloader,
                   OLD_BOOTLOADER_REASON);
    }
    step(EFlashStep::Sending);
    if (!device.SendData(image.data(), static_cast<uint32_t>(image.size())))
    {
        if (stopRequested())
        {
            return stopped("while sending: the board did not receive the whole file");
        }
        return end(EFlashEnd::Failed, RESULT_SEND_FAILED, texts.m_strSendFailed,
                   device.FailureReason());
    }
    outcome.m_nBytesSent = image.size();
    step(EFlashStep::Sent);
    if (stopRequested())
    {
        return stopped("after sending, before the execute command");
    }
    if (!bNoExecute && !device.Execute())
    {
        if (stopRequested())
        {
            return stopped("during the execute command");
        }
        // The image is on the board, but nothing says it runs: not a board to ship.
        const int nCode = device.LastReply() >= 0 ? device.LastReply() : device.LastError();
        return end(EFlashEnd::Failed, RESULT_SEND_FAILED,
                   FormatWithNumber(texts.m_strExecuteFailed, nCode),
                   ExecuteFailureReason(device.FailureReason()));
    }
    return end(EFlashEnd::Flashed, RESULT_LOADED, texts.m_strLoaded, "");
}

std::string FlashProblem(const CFlashOutcome& outcome)
{
    if (outcome.m_eEnd == EFlashEnd::Flashed)
    {
        return {};
    }
    if (outcome.m_eEnd == EFlashEnd::Failed && !outcome.m_strMessage.empty())
    {
        return outcome.m_strMessage + ": " + outcome.m_strReason;
    }
    return outcome.m_strReason;
}
