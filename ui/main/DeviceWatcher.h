#pragma once
// Tells the main window when boards arrive or leave: virtual boards through their registry
// directory, USB boards through the pipe layer's device-change callback (called on the
// backend's own thread and handed to this object's thread).

#include <QObject>
#include <QString>

#include <memory>
#include <string>
#include <vector>

class QFileSystemWatcher;

class CDeviceWatcher : public QObject
{
    Q_OBJECT
public:
    explicit CDeviceWatcher(QObject* pParent = nullptr);
    ~CDeviceWatcher() override;

    // The registry directory watched, and why watching it failed (empty when it did not).
    QString RegistryDirectory() const { return m_strDirectory; }
    QString RegistryError() const { return m_strError; }

    // Where the system reports no USB arrivals, the bus is listed every USB_POLL_PERIOD_MS
    // instead; each poll compares the USB boards with the previous poll's.
    static constexpr int USB_POLL_PERIOD_MS = 1000;
    void PollUsbBoards();

signals:
    // One emission per observed arrival or removal.
    void DevicesChanged();

private:
    struct CTarget;

    void OnRegistryChanged();
    void OnBackendNotified();

    QFileSystemWatcher* m_pWatcher = nullptr;
    QString m_strDirectory;
    QString m_strError;
    std::vector<std::string> m_boardNames;
    std::vector<std::string> m_usbBoardPaths;
    bool m_bUsbPolled = false;
    std::shared_ptr<CTarget> m_pTarget;
};
