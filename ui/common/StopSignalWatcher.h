#pragma once
// Hands a stop signal (SIGINT, SIGTERM; on Windows Ctrl-C, Ctrl-Break) to a window: the first one
// closes whatever modal box, file dialog or menu is open over it and tells the window to close.
// Needs a CStopSignalGuard installed while it is made; without one it never reports.

#include <QObject>

class QWidget;

class CStopSignalWatcher : public QObject
{
    Q_OBJECT
public:
    // pWindow: the window that ends the run; the modal widgets above it are closed.
    explicit CStopSignalWatcher(QWidget* pWindow);
    ~CStopSignalWatcher() override;

    bool IsWatching() const { return m_pNotifier != nullptr; }
    bool HasFired() const { return m_bFired; }

    // Closes the popup menus and the modal widgets other than pKeep (a box, a file dialog,
    // the About box); false when one of them refused to close.
    static bool CloseModalWidgets(const QWidget* pKeep);

signals:
    // The first stop signal, after the boxes above the window were closed.
    void StopRequested();

private:
    // The first stop: closes the boxes above the window and reports it, once.
    void Fire();

    QWidget* m_pWindow;
    // What tells of the stop: a notifier on the stop's descriptor (POSIX) or a timer (Windows).
    QObject* m_pNotifier = nullptr;
    bool m_bFired = false;
};
