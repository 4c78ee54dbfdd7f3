// The stop signal watcher on Windows: the console control handler runs on a thread of its own
// and only records the stop, so the window looks for it on a short timer.

#include "ui/common/StopSignalWatcher.h"

#include "ui/wizard/StopSignals.h"

#include <QTimer>
#include <QWidget>

namespace
{
constexpr int STOP_CHECK_PERIOD_MS = 100;
} // namespace

CStopSignalWatcher::CStopSignalWatcher(QWidget* pWindow) : QObject(pWindow), m_pWindow(pWindow)
{
    auto* pTimer = new QTimer(this);
    m_pNotifier = pTimer;
    connect(pTimer, &QTimer::timeout, this,
            [this, pTimer]
            {
                if (::StopRequested())
                {
                    pTimer->stop();
                    Fire();
                }
            });
    pTimer->start(STOP_CHECK_PERIOD_MS);
}
