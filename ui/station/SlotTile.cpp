#include "ui/station/SlotTile.h"

#include <QLabel>
#include <QProgressBar>
#include <QVBoxLayout>

namespace
{
// Background and text of each state: strong colours with the word on them, readable from
// across a bench; the word says the state for those who do not tell the colours apart.
struct CStateLook
{
    const char* m_pszBackground;
    const char* m_pszText;
};

CStateLook LookOf(ETileState eState)
{
    switch (eState)
    {
    case ETileState::Flashing:
        return {"#1565c0", "#ffffff"};
    case ETileState::Done:
        return {"#2e7d32", "#ffffff"};
    case ETileState::Failed:
        return {"#c62828", "#ffffff"};
    case ETileState::Stopped:
        return {"#ef6c00", "#000000"};
    case ETileState::Empty:
        return {"#cfd8dc", "#37474f"};
    case ETileState::Waiting:
        break;
    }
    return {"#546e7a", "#ffffff"};
}

// The last part of a slot's path: what tells the slots of one hub apart.
QString ShortSlot(const QString& strSlot)
{
    const int nAt =
        std::max(strSlot.lastIndexOf(QLatin1Char('/')), strSlot.lastIndexOf(QLatin1Char('\\')));
    return nAt < 0 || nAt + 1 >= strSlot.size() ? strSlot : strSlot.mid(nAt + 1);
}
} // namespace

CSlotTile::CSlotTile(QWidget* pParent)
    : QFrame(pParent), m_pSlot(new QLabel(this)), m_pDescription(new QLabel(this)),
      m_pState(new QLabel(this)), m_pProgress(new QProgressBar(this)), m_pDetail(new QLabel(this))
{
    setObjectName(QStringLiteral("slotTile"));
    setFocusPolicy(Qt::StrongFocus);
    setMinimumSize(220, 170);
    auto* pLayout = new QVBoxLayout(this);
    QFont slotFont = font();
    slotFont.setPointSizeF(slotFont.pointSizeF() * 1.4);
    slotFont.setBold(true);
    m_pSlot->setFont(slotFont);
    QFont stateFont = font();
    stateFont.setPointSizeF(stateFont.pointSizeF() * 2.6);
    stateFont.setBold(true);
    m_pState->setFont(stateFont);
    m_pState->setAlignment(Qt::AlignCenter);
    m_pDetail->setWordWrap(true);
    m_pProgress->setRange(0, 100);
    m_pProgress->setTextVisible(true);
    for (QLabel* pLabel : {m_pSlot, m_pDescription, m_pDetail})
    {
        pLabel->setTextFormat(Qt::PlainText);
    }
    // The tile speaks for its parts.
    for (QWidget* pPart :
         std::initializer_list<QWidget*>{m_pSlot, m_pDescription, m_pState, m_pProgress, m_pDetail})
    {
        pPart->setFocusPolicy(Qt::NoFocus);
    }
    pLayout->addWidget(m_pSlot);
    pLayout->addWidget(m_pDescription);
    pLayout->addWidget(m_pState, 1);
    pLayout->addWidget(m_pProgress);
    pLayout->addWidget(m_pDetail);
    SetState(ETileState::Waiting);
}

QString CSlotTile::StateWord(ETileState eState)
{
    switch (eState)
    {
    case ETileState::Flashing:
        return QStringLiteral("FLASHING");
    case ETileState::Done:
        return QStringLiteral("DONE");
    case ETileState::Failed:
        return QStringLiteral("FAILED");
    case ETileState::Stopped:
        return QStringLiteral("STOPPED");
    case ETileState::Empty:
        return QStringLiteral("EMPTY");
    case ETileState::Waiting:
        break;
    }
    return QStringLiteral("WAITING");
}

void CSlotTile::SetBoard(const QString& strSlot, const QString& strDescription)
{
    ++m_nGeneration;
    m_strSlot = strSlot;
    m_strDescription = strDescription;
    m_pSlot->setText(ShortSlot(strSlot));
    m_pSlot->setToolTip(strSlot);
    m_pDescription->setText(strDescription);
    UpdateAccessibleText();
}

void CSlotTile::SetState(ETileState eState, const QString& strDetail)
{
    if (eState == ETileState::Empty)
    {
        ++m_nGeneration;
    }
    m_eState = eState;
    m_strDetail = strDetail;
    const CStateLook look = LookOf(eState);
    setStyleSheet(QStringLiteral("#slotTile { background: %1; border: 3px solid %1; border-radius: "
                                 "6px; } #slotTile:focus { border: 3px solid #ffd600; } "
                                 "#slotTile QLabel { color: %2; }")
                      .arg(QLatin1String(look.m_pszBackground), QLatin1String(look.m_pszText)));
    m_pState->setText(StateWord(eState));
    m_pDetail->setText(strDetail);
    m_pProgress->setVisible(eState == ETileState::Flashing);
    if (eState == ETileState::Flashing)
    {
        m_pProgress->setValue(0);
    }
    UpdateAccessibleText();
}

void CSlotTile::SetProgress(uint64_t nDone, uint64_t nTotal)
{
    const int nPercent = nTotal == 0 ? 100 : static_cast<int>(nDone * 100 / nTotal);
    if (nPercent != m_pProgress->value())
    {
        m_pProgress->setValue(nPercent);
        UpdateAccessibleText();
    }
}

void CSlotTile::UpdateAccessibleText()
{
    const QString strShort = ShortSlot(m_strSlot);
    setAccessibleName(strShort + QStringLiteral(": ") + StateWord(m_eState));
    QString strDescription = m_strDescription.isEmpty()
                                 ? m_strSlot
                                 : m_strDescription + QStringLiteral(" at ") + m_strSlot;
    if (m_eState == ETileState::Flashing)
    {
        strDescription += QStringLiteral(", %1%").arg(m_pProgress->value());
    }
    if (!m_strDetail.isEmpty())
    {
        strDescription += QStringLiteral(". ") + m_strDetail;
    }
    setAccessibleDescription(strDescription);
    m_pProgress->setAccessibleName(QStringLiteral("Progress of ") + strShort);
    setToolTip(strDescription);
}
