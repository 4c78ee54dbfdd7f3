#include "ui/main/DlgStatusBar.h"

#include <QLabel>
#include <QProgressBar>

#include <algorithm>

QString LoadResourceString(unsigned nId)
{
    switch (nId)
    {
    case IDS_NO_DEVICE:
        return QStringLiteral("No Device Connected     \t\n");
    case IDS_CONNECT_BOARD:
        return QStringLiteral("Please connect the VELD/ARM and put it into program mode.");
    default:
        return QString();
    }
}

CDlgStatusBar::CDlgStatusBar(QWidget* pParent) : QStatusBar(pParent)
{
    setSizeGripEnabled(false);
}

CDlgStatusBar::~CDlgStatusBar() = default;

bool CDlgStatusBar::SetIndicators(const unsigned* pIds, int nCount)
{
    if (m_pProgress != nullptr)
    {
        removeWidget(m_pProgress);
    }
    for (CPane& pane : m_panes)
    {
        removeWidget(pane.m_pLabel);
        delete pane.m_pLabel;
    }
    m_panes.clear();
    for (int i = 0; i < nCount; ++i)
    {
        CPane pane;
        pane.m_nId = pIds[i];
        pane.m_strText = LoadResourceString(pIds[i]);
        pane.m_pLabel = new QLabel(DisplayText(pane.m_strText), this);
        pane.m_pLabel->setObjectName(QStringLiteral("pane%1").arg(i));
        if (i == 0)
        {
            addWidget(pane.m_pLabel, 1);
        }
        else
        {
            // As wide as the start text, trailing blanks included, like a fixed pane.
            const QString strStart = DisplayText(pane.m_strText);
            const int nWidth = pane.m_pLabel->fontMetrics().horizontalAdvance(strStart) +
                               2 * pane.m_pLabel->margin() + 8;
            pane.m_pLabel->setMinimumWidth(nWidth);
            addPermanentWidget(pane.m_pLabel);
        }
        m_panes.push_back(pane);
    }
    AddProgressBar();
    return true;
}

void CDlgStatusBar::AddProgressBar()
{
    if (m_pProgress == nullptr)
    {
        m_pProgress = new QProgressBar(this);
        m_pProgress->setObjectName(QStringLiteral("transferProgress"));
        // Wide enough that "100%" stands inside the bar, centred over it, never cut by its end.
        m_pProgress->setAlignment(Qt::AlignCenter);
        m_pProgress->setMinimumWidth(4 * fontMetrics().horizontalAdvance(QStringLiteral("100%")));
        m_pProgress->setMaximumWidth(std::max(160, m_pProgress->minimumWidth()));
        m_pProgress->setMaximumHeight(fontMetrics().height() + 2);
        m_pProgress->setRange(0, 1000);
        // Its place is kept while it is hidden, so nothing in the window moves when it shows.
        QSizePolicy policy = m_pProgress->sizePolicy();
        policy.setRetainSizeWhenHidden(true);
        m_pProgress->setSizePolicy(policy);
    }
    addPermanentWidget(m_pProgress);
    m_pProgress->hide();
}

void CDlgStatusBar::SetPaneText(int nPane, const QString& strText)
{
    if (nPane < 0 || nPane >= PaneCount())
    {
        return;
    }
    CPane& pane = m_panes[static_cast<size_t>(nPane)];
    pane.m_strText = strText;
    pane.m_pLabel->setText(DisplayText(strText));
    pane.m_pLabel->repaint();
}

QString CDlgStatusBar::PaneText(int nPane) const
{
    if (nPane < 0 || nPane >= PaneCount())
    {
        return QString();
    }
    return m_panes[static_cast<size_t>(nPane)].m_strText;
}

QString CDlgStatusBar::DisplayText(const QString& strText)
{
    QString strShown;
    strShown.reserve(strText.size());
    for (const QChar ch : strText)
    {
        if (ch == QLatin1Char('\t'))
        {
            strShown += QStringLiteral("  ");
        }
        else if (ch.unicode() >= 0x20)
        {
            strShown += ch;
        }
    }
    return strShown;
}

void CDlgStatusBar::ShowProgress(qint64 nDone, qint64 nTotal)
{
    if (nTotal <= 0)
    {
        if (m_pProgress != nullptr)
        {
            m_pProgress->hide();
        }
        return;
    }
    if (m_pProgress == nullptr)
    {
        AddProgressBar();
    }
    m_pProgress->setValue(static_cast<int>(nDone * 1000 / nTotal));
    m_pProgress->show();
    m_pProgress->repaint();
}

bool CDlgStatusBar::IsProgressVisible() const
{
    return m_pProgress != nullptr && m_pProgress->isVisible();
}
