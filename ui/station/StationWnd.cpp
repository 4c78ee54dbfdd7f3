#include "ui/station/StationWnd.h"

#include "app/QuillonApp.h"
#include "app/StationConsole.h"
#include "lang/LanguageStrings.h"
#include "ui/common/ProgramIcon.h"
#include "ui/common/StopSignalWatcher.h"
#include "ui/station/SlotTile.h"
#include "ui/wizard/WizardRun.h"

#include "ui_StationWnd.h"

#include <QLocale>
#include <QMessageBox>
#include <QMetaObject>
#include <QPushButton>
#include <QTimer>

#include <iostream>
#include <thread>

namespace
{
// The boards-per-hour figure is refreshed this often while nothing else changes.
constexpr int RATE_REFRESH_MS = 10000;

QString FromBytes(const std::string& strText)
{
    return QString::fromUtf8(strText.data(), static_cast<qsizetype>(strText.size()));
}

QString PercentText(double dShare)
{
    return dShare < 0 ? QStringLiteral("-") : QString::number(dShare * 100.0, 'f', 1) + u'%';
}
} // namespace

CStationWnd::CStationWnd(const CStationImage& image, QWidget* pParent)
    : QDialog(pParent), m_pUi(std::make_unique<Ui::CStationWnd>())
{
    m_pUi->setupUi(this);
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinMaxButtonsHint | Qt::WindowCloseButtonHint);
    setWindowIcon(ProgramIcon());
    const QString strName = FromBytes(image.m_strName);
    setWindowTitle(QStringLiteral("Quillon Station - ") + strName);
    QFont bigFont = font();
    bigFont.setPointSizeF(bigFont.pointSizeF() * 1.8);
    bigFont.setBold(true);
    m_pUi->labelImage->setFont(bigFont);
    m_pUi->labelImage->setTextFormat(Qt::PlainText);
    m_pUi->labelImage->setText(strName);
    m_pUi->labelImage->setToolTip(FromBytes(image.m_strFullPath));
    m_pUi->labelImageDetails->setFont(bigFont);
    m_pUi->labelImageDetails->setText(
        QStringLiteral("%1 bytes   SHA-256 %2")
            .arg(QLocale::c().toString(static_cast<qulonglong>(image.m_data.size())),
                 FromBytes(image.m_strSha256.substr(0, 12))));
    m_pUi->labelImageDetails->setToolTip(QStringLiteral("SHA-256 ") + FromBytes(image.m_strSha256));
    m_pUi->labelImageDetails->setAccessibleDescription(m_pUi->labelImageDetails->toolTip());
    QFont counterFont = font();
    counterFont.setPointSizeF(counterFont.pointSizeF() * 1.5);
    for (QLabel* pLabel : {m_pUi->labelFlashed, m_pUi->labelFailed, m_pUi->labelYield,
                           m_pUi->labelRate, m_pUi->labelMessage})
    {
        pLabel->setFont(counterFont);
    }
    m_pUi->labelMessage->setTextFormat(Qt::PlainText);
    m_pUi->buttonStop->setFont(bigFont);
    m_pUi->buttonStop->setAutoDefault(false);
    connect(m_pUi->buttonStop, &QPushButton::clicked, this, &CStationWnd::OnStopButton);
    m_pUi->layoutTiles->setAlignment(Qt::AlignTop | Qt::AlignLeft);
    for (int nColumn = 0; nColumn < COLUMNS; ++nColumn)
    {
        m_pUi->layoutTiles->setColumnStretch(nColumn, 1);
    }
    auto* pRateTimer = new QTimer(this);
    connect(pRateTimer, &QTimer::timeout, this, &CStationWnd::UpdateCounters);
    pRateTimer->start(RATE_REFRESH_MS);
    m_running.start();
    ShowMessage(QStringLiteral("Waiting for boards. Each board that arrives is flashed once."));
    UpdateCounters();
}

CStationWnd::~CStationWnd() = default;

CSlotTile* CStationWnd::Tile(const QString& strSlot) const
{
    const auto it = m_tiles.find(strSlot);
    return it == m_tiles.end() ? nullptr : it->second;
}

CSlotTile* CStationWnd::PlaceTile(const QString& strSlot)
{
    if (CSlotTile* pTile = Tile(strSlot))
    {
        return pTile;
    }
    // The first free place: the other tiles keep theirs.
    size_t nPlace = 0;
    while (nPlace < m_places.size() && m_places[nPlace] != nullptr)
    {
        ++nPlace;
    }
    if (nPlace == m_places.size())
    {
        m_places.push_back(nullptr);
    }
    auto* pTile = new CSlotTile(m_pUi->widgetTiles);
    m_places[nPlace] = pTile;
    m_tiles[strSlot] = pTile;
    m_pUi->layoutTiles->addWidget(pTile, static_cast<int>(nPlace) / COLUMNS,
                                  static_cast<int>(nPlace) % COLUMNS);
    // Tab goes through the tiles in their order on the screen, then to Stop.
    QWidget* pPrevious = m_pUi->buttonStop;
    for (CSlotTile* pPlaced : m_places)
    {
        if (pPlaced != nullptr)
        {
            setTabOrder(pPrevious, pPlaced);
            pPrevious = pPlaced;
        }
    }
    setTabOrder(pPrevious, m_pUi->buttonStop);
    pTile->show();
    return pTile;
}

void CStationWnd::RemoveTile(CSlotTile* pTile)
{
    for (CSlotTile*& pPlaced : m_places)
    {
        if (pPlaced == pTile)
        {
            pPlaced = nullptr;
        }
    }
    m_tiles.erase(pTile->Slot());
    m_pUi->layoutTiles->removeWidget(pTile);
    pTile->deleteLater();
}

void CStationWnd::Apply(const CStationEvent& event)
{
    const QString strSlot = FromBytes(event.m_strSlot);
    CSlotTile* pTile = Tile(strSlot);
    switch (event.m_eKind)
    {
    case EStationEvent::Arrived:
        pTile = PlaceTile(strSlot);
        pTile->SetBoard(strSlot, FromBytes(event.m_strDescription));
        pTile->SetState(ETileState::Waiting);
        return;
    case EStationEvent::Waiting:
        if (pTile != nullptr)
        {
            pTile->SetState(ETileState::Waiting, FromBytes(event.m_strNote));
        }
        return;
    case EStationEvent::Started:
        if (pTile != nullptr)
        {
            pTile->SetState(ETileState::Flashing, FromBytes(event.m_strNote));
        }
        return;
    case EStationEvent::Progress:
        if (pTile != nullptr)
        {
            pTile->SetProgress(event.m_nDone, event.m_nTotal);
        }
        return;
    case EStationEvent::Finished:
    {
        const CFlashOutcome& outcome = event.m_outcome;
        ETileState eState = ETileState::Stopped;
        QString strDetail = FromBytes(outcome.m_strReason);
        switch (outcome.m_eEnd)
        {
        case EFlashEnd::Flashed:
            eState = ETileState::Done;
            strDetail = QStringLiteral("%1 s").arg(event.m_dSeconds, 0, 'f', 1);
            ++m_counts.m_nFlashed;
            break;
        case EFlashEnd::Failed:
            eState = ETileState::Failed;
            strDetail = FromBytes(FlashProblem(outcome));
            ++m_counts.m_nFailed;
            break;
        case EFlashEnd::Stopped:
            ++m_counts.m_nStopped;
            break;
        default:
            break;
        }
        if (pTile != nullptr)
        {
            pTile->SetState(eState, strDetail);
        }
        UpdateCounters();
        return;
    }
    case EStationEvent::Left:
        if (pTile == nullptr)
        {
            return;
        }
        pTile->SetState(ETileState::Empty, FromBytes(event.m_strNote));
        QTimer::singleShot(EMPTY_LINGER_MS, this,
                           [this, strSlot, nGeneration = pTile->Generation()]()
                           {
                               CSlotTile* pLingering = Tile(strSlot);
                               if (pLingering != nullptr && pLingering->Generation() == nGeneration)
                               {
                                   RemoveTile(pLingering);
                               }
                           });
        return;
    }
}

void CStationWnd::UpdateCounters()
{
    m_pUi->labelFlashed->setText(QStringLiteral("Flashed %1").arg(m_counts.m_nFlashed));
    m_pUi->labelFailed->setText(QStringLiteral("Failed %1").arg(m_counts.m_nFailed));
    m_pUi->labelYield->setText(QStringLiteral("Yield ") + PercentText(m_counts.Yield()));
    const double dRate = m_counts.BoardsPerHour(std::chrono::milliseconds(m_running.elapsed()));
    m_pUi->labelRate->setText((dRate < 0 ? QStringLiteral("-") : QString::number(dRate, 'f', 0)) +
                              QStringLiteral(" boards/h"));
    // The labels' names stay short; what they say is their description.
    for (QLabel* pLabel :
         {m_pUi->labelFlashed, m_pUi->labelFailed, m_pUi->labelYield, m_pUi->labelRate})
    {
        pLabel->setAccessibleDescription(pLabel->text());
    }
}

void CStationWnd::ShowMessage(const QString& strText)
{
    m_pUi->labelMessage->setText(strText);
    m_pUi->labelMessage->setAccessibleDescription(strText);
}

void CStationWnd::OnStopButton()
{
    if (m_bEnded)
    {
        done(m_nResult);
        return;
    }
    if (!m_bStopping)
    {
        m_bStopping = true;
        m_pUi->buttonStop->setEnabled(false);
        m_pUi->buttonStop->setText(QStringLiteral("Stopping..."));
        ShowMessage(QStringLiteral("Stopping: boards in the middle of a flash are stopped."));
        emit StopClicked();
    }
}

void CStationWnd::reject()
{
    OnStopButton();
}

void CStationWnd::StopAndClose()
{
    m_bCloseWhenEnded = true;
    if (m_bEnded)
    {
        done(m_nResult);
        return;
    }
    OnStopButton();
}

void CStationWnd::Ended(int nResult)
{
    m_bEnded = true;
    m_nResult = nResult;
    if (m_bCloseWhenEnded)
    {
        done(nResult);
        return;
    }
    m_pUi->buttonStop->setEnabled(true);
    m_pUi->buttonStop->setText(QStringLiteral("&Close"));
    m_pUi->buttonStop->setAccessibleName(QStringLiteral("Close"));
    m_pUi->buttonStop->setFocus();
    const QString strCounts = QStringLiteral("%1 flashed, %2 failed, %3 stopped.")
                                  .arg(m_counts.m_nFlashed)
                                  .arg(m_counts.m_nFailed)
                                  .arg(m_counts.m_nStopped);
    const QString strPrevious = m_pUi->labelMessage->text();
    ShowMessage((nResult == EXIT_CANNOT_WRITE ? strPrevious + u' '
                                              : QStringLiteral("The station has ended: ")) +
                strCounts);
}

void CStationWnd::OnStationEvent(const CStationEvent& event)
{
    QMetaObject::invokeMethod(
        this, [this, event]() { Apply(event); }, Qt::QueuedConnection);
}

void CStationWnd::OnStationMessage(const std::string& strText)
{
    std::cerr << strText << std::endl;
    QMetaObject::invokeMethod(
        this, [this, strMessage = FromBytes(strText)]() { ShowMessage(strMessage); },
        Qt::QueuedConnection);
}

int CStationWnd::RunStation(const CStationOptions& options)
{
    CStationImage image;
    std::string strError;
    if (!LoadStationImage(options.m_strFileName, image, strError))
    {
        CLanguageStrings& strings = CLanguageStrings::Instance();
        const std::string strText =
            strings.GetString(25) + " " + options.m_strFileName + " (" + strError + ")";
        std::cerr << strings.GetString(46) << ": " << strText << std::endl;
        QMessageBox box(QMessageBox::Critical, FromBytes(strings.GetString(46)), FromBytes(strText),
                        QMessageBox::Ok);
        box.exec();
        return RESULT_CANNOT_LOAD;
    }
    CStationWnd window(image);
    // The window shows the station; standard output gets its lines as on the console.
    struct CBothFaces : IStationObserver
    {
        CStationConsole m_console{std::cout, std::cerr, false, nullptr};
        CStationWnd* m_pWindow;
        void OnStationEvent(const CStationEvent& event) override
        {
            m_console.OnStationEvent(event);
            m_pWindow->OnStationEvent(event);
        }
        void OnStationMessage(const std::string& strText) override
        {
            m_pWindow->OnStationMessage(strText);
        }
    } faces;
    faces.m_pWindow = &window;
    CStation station(std::move(image), options, faces);
    connect(&window, &CStationWnd::StopClicked, &window, [&station]() { station.RequestStop(); });
    // Ctrl-C and SIGTERM stop the station as Stop does, and close the window once it ended.
    CStopSignalWatcher watcher(&window);
    connect(&watcher, &CStopSignalWatcher::StopRequested, &window, &CStationWnd::StopAndClose);
    std::thread runner(
        [&station, &window]()
        {
            const int nResult = station.Run();
            QMetaObject::invokeMethod(
                &window, [&window, nResult]() { window.Ended(nResult); }, Qt::QueuedConnection);
        });
    window.show();
    const int nResult = window.exec();
    station.RequestStop();
    runner.join();
    faces.m_console.Summary(station.Counts(), nResult);
    return nResult;
}
