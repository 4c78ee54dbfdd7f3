#include "ui/common/StopSignalWatcher.h"

#include "ui/wizard/StopSignals.h"

#include <QApplication>
#include <QDialog>
#include <QSocketNotifier>
#include <QWidget>

#include <unistd.h>

CStopSignalWatcher::CStopSignalWatcher(QWidget* pWindow) : QObject(pWindow), m_pWindow(pWindow)
{
    if (StopSignalFd() >= 0)
    {
        m_pNotifier = new QSocketNotifier(StopSignalFd(), QSocketNotifier::Read, this);
        connect(m_pNotifier, &QSocketNotifier::activated, this, &CStopSignalWatcher::OnActivated);
    }
}

CStopSignalWatcher::~CStopSignalWatcher() = default;

void CStopSignalWatcher::OnActivated()
{
    // The wake-up byte must be read, or the notifier fires again at once, for as long as a
    // box runs its own loop. One signal is all a window needs: a second one ends the process.
    char buffer[16];
    while (read(StopSignalFd(), buffer, sizeof(buffer)) > 0)
    {
    }
    m_pNotifier->setEnabled(false);
    if (m_bFired)
    {
        return;
    }
    m_bFired = true;
    CloseModalWidgets(m_pWindow);
    emit StopRequested();
}

bool CStopSignalWatcher::CloseModalWidgets(const QWidget* pKeep)
{
    while (QWidget* pPopup = QApplication::activePopupWidget())
    {
        if (!pPopup->close())
        {
            return false;
        }
    }
    for (QWidget* pModal = QApplication::activeModalWidget(); pModal != nullptr && pModal != pKeep;
         pModal = QApplication::activeModalWidget())
    {
        // reject() is the box's own Esc route; it hides the box, which leaves the modal stack.
        if (auto* pDialog = qobject_cast<QDialog*>(pModal))
        {
            pDialog->reject();
        }
        else
        {
            pModal->close();
        }
        if (pModal->isVisible())
        {
            return false;
        }
    }
    return true;
}
