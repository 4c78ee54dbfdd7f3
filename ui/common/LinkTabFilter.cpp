#include "ui/common/LinkTabFilter.h"

#include <QKeyEvent>
#include <QLabel>

CLinkTabFilter::CLinkTabFilter(QLabel* pLink) : QObject(pLink)
{
    pLink->installEventFilter(this);
}

bool CLinkTabFilter::eventFilter(QObject* pObject, QEvent* pEvent)
{
    if (pEvent->type() != QEvent::KeyPress)
    {
        return QObject::eventFilter(pObject, pEvent);
    }
    const auto* pKey = static_cast<QKeyEvent*>(pEvent);
    const bool bOther = pKey->modifiers() & (Qt::ControlModifier | Qt::AltModifier);
    if (bOther || (pKey->key() != Qt::Key_Tab && pKey->key() != Qt::Key_Backtab))
    {
        return QObject::eventFilter(pObject, pEvent);
    }
    // The next control in the window's focus chain that takes Tab, as QWidget's own Tab does.
    auto* pLink = static_cast<QWidget*>(pObject);
    const bool bForward = pKey->key() == Qt::Key_Tab;
    QWidget* pNext = pLink;
    do
    {
        pNext = bForward ? pNext->nextInFocusChain() : pNext->previousInFocusChain();
    } while (pNext != pLink &&
             (pNext->window() != pLink->window() || !(pNext->focusPolicy() & Qt::TabFocus) ||
              !pNext->isVisibleTo(pLink->window()) || !pNext->isEnabled()));
    pNext->setFocus(bForward ? Qt::TabFocusReason : Qt::BacktabFocusReason);
    return true;
}
