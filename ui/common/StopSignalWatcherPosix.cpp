// The stop signal watcher on POSIX: a notifier on the stop signals' wake-up descriptor.

#include "ui/common/StopSignalWatcher.h"

#include "ui/wizard/StopSignals.h"

#include <QSocketNotifier>
#include <QWidget>

#include <unistd.h>

CStopSignalWatcher::CStopSignalWatcher(QWidget* pWindow) : QObject(pWindow), m_pWindow(pWindow)
{
    if (StopSignalFd() >= 0)
    {
        auto* pNotifier = new QSocketNotifier(StopSignalFd(), QSocketNotifier::Read, this);
        m_pNotifier = pNotifier;
        connect(pNotifier, &QSocketNotifier::activated, this,
                [this, pNotifier]
                {
                    // The wake-up byte must be read, or the notifier fires again at once, for
                    // as long as a box runs its own loop. One signal is all a window needs: a
                    // second one ends the process.
                    char buffer[16];
                    while (read(StopSignalFd(), buffer, sizeof(buffer)) > 0)
                    {
                    }
                    pNotifier->setEnabled(false);
                    Fire();
                });
    }
}
