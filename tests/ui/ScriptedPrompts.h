#pragma once
// Message boxes and file dialogs answered by the test: every box is recorded with what the
// window showed at that moment, file dialogs return queued answers.

#include "ui/common/UserPrompts.h"

#include <QString>

#include <deque>
#include <functional>
#include <vector>

struct CShownMessage
{
    QString m_strText;
    QString m_strCaption;
    EMessageIcon m_eIcon = EMessageIcon::None;
};

class CScriptedPrompts : public CUserPrompts
{
public:
    void ShowMessage(QWidget*, const QString& strText, const QString& strCaption,
                     EMessageIcon eIcon) override
    {
        m_messages.push_back({strText, strCaption, eIcon});
        if (m_fnOnMessage)
        {
            m_fnOnMessage();
        }
    }
    QString ChooseOpenFile(QWidget*, const QString& strFilter) override
    {
        m_strFilter = strFilter;
        return Next(m_openAnswers);
    }
    QString ChooseSaveFile(QWidget*, const QString& strFilter,
                           const QString& strDefaultSuffix) override
    {
        ++m_nSaveDialogs;
        m_strFilter = strFilter;
        m_strSuffix = strDefaultSuffix;
        return Next(m_saveAnswers);
    }
    bool OpenUrl(const QString& strUrl) override
    {
        m_urls.push_back(strUrl);
        return m_bOpenUrlWorks;
    }

    std::vector<CShownMessage> m_messages;
    std::function<void()> m_fnOnMessage;
    std::deque<QString> m_openAnswers;
    std::deque<QString> m_saveAnswers;
    int m_nSaveDialogs = 0;
    QString m_strFilter;
    QString m_strSuffix;
    std::vector<QString> m_urls;
    bool m_bOpenUrlWorks = true;

private:
    static QString Next(std::deque<QString>& answers)
    {
        if (answers.empty())
        {
            return QString();
        }
        QString strAnswer = answers.front();
        answers.pop_front();
        return strAnswer;
    }
};
