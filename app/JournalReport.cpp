#include "app/JournalReport.h"

#include "app/JsonWriter.h"
#include "ui/wizard/WizardRun.h"
#include "usb/BoardText.h"

#include <cstdio>
#include <filesystem>
#include <iostream>

namespace
{
std::string YieldText(const CJournalTally& tally)
{
    const double dYield = tally.Yield();
    if (dYield < 0)
    {
        return "-";
    }
    char szText[16];
    std::snprintf(szText, sizeof(szText), "%.1f%%", dYield * 100.0);
    return szText;
}

std::string TallyColumns(const CJournalTally& tally)
{
    char szText[96];
    std::snprintf(szText, sizeof(szText), "%7s %8lld %7lld %8lld %10lld  ",
                  YieldText(tally).c_str(), static_cast<long long>(tally.m_nFlashed),
                  static_cast<long long>(tally.m_nFailed), static_cast<long long>(tally.m_nStopped),
                  static_cast<long long>(tally.m_nUnfinished));
    return szText;
}

const char HEADER[] = "  yield  flashed  failed  stopped  unfinished  ";

CJsonObject TallyJson(const CJournalTally& tally)
{
    return CJsonObject()
        .Add("attempts", tally.Attempts())
        .Add("flashed", tally.m_nFlashed)
        .Add("failed", tally.m_nFailed)
        .Add("stopped", tally.m_nStopped)
        .Add("unfinished", tally.m_nUnfinished)
        .AddShare("yield", tally.Yield());
}
} // namespace

std::string JournalImagePath(const std::string& strFileName)
{
    std::error_code error;
    const auto path = std::filesystem::absolute(std::filesystem::u8path(strFileName), error);
    if (error)
    {
        return strFileName;
    }
    const std::u8string strPath = path.lexically_normal().u8string();
    return std::string(strPath.begin(), strPath.end());
}

const char* JournalResultOf(int nExitCode)
{
    return nExitCode == RESULT_LOADED      ? JOURNAL_FLASHED
           : nExitCode == RESULT_CANCELLED ? JOURNAL_STOPPED
                                           : JOURNAL_FAILED;
}

std::string JournalSummaryText(const std::string& strPath, const CJournalSummary& summary)
{
    const CJournalTally& total = summary.m_total;
    std::string strText = "Journal " + ShowableBoardText(strPath) + ": " +
                          std::to_string(total.Attempts()) + " attempts";
    if (total.Attempts() == 0)
    {
        return strText + "\n";
    }
    strText += ", from " + summary.m_strFirst + " to " + summary.m_strLast + "\n" + HEADER + "\n" +
               TallyColumns(total) + "all\n";
    strText += "\nPer image:\n" + std::string(HEADER) + "image\n";
    for (const CJournalGroup& image : summary.m_images)
    {
        strText += TallyColumns(image.m_tally) + ShowableBoardText(image.m_strImagePath) + " (" +
                   std::to_string(image.m_nImageSize) + " bytes, SHA-256 " +
                   ShowableBoardText(image.m_strKey.substr(0, 12)) + ")\n";
    }
    strText += "\nPer slot:\n" + std::string(HEADER) + "slot\n";
    for (const CJournalGroup& slot : summary.m_slots)
    {
        strText += TallyColumns(slot.m_tally) + ShowableBoardText(slot.m_strKey) + "\n";
    }
    strText += "\nPer day (UTC):\n" + std::string(HEADER) + "day\n";
    for (const CJournalGroup& day : summary.m_days)
    {
        strText += TallyColumns(day.m_tally) + ShowableBoardText(day.m_strKey) + "\n";
    }
    return strText;
}

std::string JournalSummaryJson(const std::string& strPath, const CJournalSummary& summary)
{
    std::vector<CJsonObject> images;
    for (const CJournalGroup& image : summary.m_images)
    {
        images.push_back(CJsonObject()
                             .Add("sha256", image.m_strKey)
                             .Add("path", image.m_strImagePath)
                             .Add("size", image.m_nImageSize)
                             .AddObject("tally", TallyJson(image.m_tally)));
    }
    auto groups = [](const std::vector<CJournalGroup>& from, const char* pszKey)
    {
        std::vector<CJsonObject> objects;
        for (const CJournalGroup& group : from)
        {
            objects.push_back(CJsonObject()
                                  .Add(pszKey, group.m_strKey)
                                  .AddObject("tally", TallyJson(group.m_tally)));
        }
        return objects;
    };
    CJsonObject object;
    object.Add("journal", strPath);
    if (summary.m_strFirst.empty())
    {
        object.AddNull("first").AddNull("last");
    }
    else
    {
        object.Add("first", summary.m_strFirst).Add("last", summary.m_strLast);
    }
    return object.AddObject("total", TallyJson(summary.m_total))
        .AddArray("images", images)
        .AddArray("slots", groups(summary.m_slots, "slot"))
        .AddArray("days", groups(summary.m_days, "day"))
        .Text();
}

int PrintJournalSummary(const std::string& strProgram, const std::string& strPath, bool bJson)
{
    CJournal journal;
    CJournalSummary summary;
    std::string strError;
    if (!journal.Open(strPath, false, strError) || !journal.Summarize(summary, strError))
    {
        std::cerr << strProgram << ": " << ShowableBoardText(strError) << std::endl;
        return RESULT_CANNOT_LOAD;
    }
    std::cout << (bJson ? JournalSummaryJson(strPath, summary) + "\n"
                        : JournalSummaryText(strPath, summary))
              << std::flush;
    return 0;
}
