// The stop signal watcher's part that is the same everywhere: closing what is above the window.

#include "ui/common/StopSignalWatcher.h"

#include <QApplication>
#include <QDialog>
#include <QWidget>

CStopSignalWatcher::~CStopSignalWatcher() = default;

void CStopSignalWatcher::Fire()
{
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
