#include "ui/main/DeviceWatcher.h"

#include "lang/DebugOutput.h"
#include "usb/PipeLayer.h"
#include "usb/libusb/UsbBoardIds.h"
#include "usb/virtual/VirtualRegistry.h"

#include <QFileSystemWatcher>
#include <QMetaObject>
#include <QTimer>

#include <mutex>

// The pipe layer may call its callback on another thread at any moment, even while this
// object is being destroyed; the callback reaches the object only through this guarded link.
struct CDeviceWatcher::CTarget
{
    std::mutex m_mutex;
    CDeviceWatcher* m_pWatcher = nullptr;
};

CDeviceWatcher::CDeviceWatcher(QObject* pParent)
    : QObject(pParent), m_pTarget(std::make_shared<CTarget>())
{
    const std::string strDirectory = GetBoardRegistryDirectory();
    m_strDirectory = QString::fromStdString(strDirectory);
    std::string strError;
    if (EnsureBoardRegistry(strDirectory, &strError))
    {
        m_pWatcher = new QFileSystemWatcher(this);
        if (m_pWatcher->addPath(m_strDirectory))
        {
            connect(m_pWatcher, &QFileSystemWatcher::directoryChanged, this,
                    &CDeviceWatcher::OnRegistryChanged);
            m_boardNames = ListBoardNames(strDirectory);
        }
        else
        {
            m_strError = QStringLiteral("cannot watch ") + m_strDirectory;
        }
    }
    else
    {
        m_strError = QString::fromStdString(strError);
    }
    if (!m_strError.isEmpty())
    {
        OutputDebugText("Virtual boards are not watched: " + m_strError.toStdString());
    }

    m_pTarget->m_pWatcher = this;
    std::weak_ptr<CTarget> pWeakTarget = m_pTarget;
    SetDeviceChangeCallback(
        [pWeakTarget]()
        {
            const std::shared_ptr<CTarget> pTarget = pWeakTarget.lock();
            if (!pTarget)
            {
                return;
            }
            std::lock_guard<std::mutex> lock(pTarget->m_mutex);
            if (pTarget->m_pWatcher != nullptr)
            {
                // A posted call; it is dropped if the watcher goes away before it runs.
                QMetaObject::invokeMethod(pTarget->m_pWatcher, &CDeviceWatcher::OnBackendNotified,
                                          Qt::QueuedConnection);
            }
        });
    // USB boards are reported from here on by the USB backend's own thread.
    if (UsbNeedsPolling())
    {
        OutputDebugText("USB arrivals are not reported here: polling the USB bus instead");
        PollUsbBoards();
        auto* pTimer = new QTimer(this);
        connect(pTimer, &QTimer::timeout, this, &CDeviceWatcher::PollUsbBoards);
        pTimer->start(USB_POLL_PERIOD_MS);
    }
}

void CDeviceWatcher::PollUsbBoards()
{
    // Virtual boards (absolute paths) have their own watch; only the others are compared.
    std::vector<std::string> paths;
    for (const CInterfaceEntry& entry : PipeLayer::ListInterfaces())
    {
        if (entry.m_strPath.empty() || entry.m_strPath.front() != '/')
        {
            paths.push_back(entry.m_strPath);
        }
    }
    // The first poll only learns what is there: no check runs when the window opens.
    const bool bChanged = m_bUsbPolled && paths != m_usbBoardPaths;
    m_usbBoardPaths = std::move(paths);
    m_bUsbPolled = true;
    if (bChanged)
    {
        emit DevicesChanged();
    }
}

CDeviceWatcher::~CDeviceWatcher()
{
    SetDeviceChangeCallback({});
    std::lock_guard<std::mutex> lock(m_pTarget->m_mutex);
    m_pTarget->m_pWatcher = nullptr;
}

void CDeviceWatcher::OnRegistryChanged()
{
    // A board appears in several steps (a hidden directory, its sockets, a rename); only a
    // change in the listed boards is an arrival or a removal.
    const std::string strDirectory = m_strDirectory.toStdString();
    std::vector<std::string> names = ListBoardNames(strDirectory);
    if (!m_pWatcher->directories().contains(m_strDirectory))
    {
        // The directory was removed and made again: watch the new one.
        m_pWatcher->addPath(m_strDirectory);
    }
    if (names != m_boardNames)
    {
        m_boardNames = std::move(names);
        emit DevicesChanged();
    }
}

void CDeviceWatcher::OnBackendNotified()
{
    emit DevicesChanged();
}
