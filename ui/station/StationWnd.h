#pragma once
// The station window: a tile per slot that appears when a board arrives and goes soon after
// it left, keeping its place while the board is attached; the counters (flashed, failed,
// yield, boards per hour); the image's name, size and short SHA-256; and Stop. The station
// itself (CStation) runs on a thread of its own; this window is its face and shows its events
// on the window's thread.

#include "app/Station.h"

#include <QDialog>
#include <QElapsedTimer>
#include <QString>

#include <map>
#include <memory>
#include <vector>

class CSlotTile;

namespace Ui
{
class CStationWnd;
}

class CStationWnd : public QDialog, public IStationObserver
{
    Q_OBJECT
public:
    explicit CStationWnd(const CStationImage& image, QWidget* pParent = nullptr);
    ~CStationWnd() override;

    // quillon --station FILE with a display: loads the image, runs the station with this
    // window until the user closes it after the station ended; the station's exit code (25
    // when the image cannot be loaded).
    static int RunStation(const CStationOptions& options);

    // On the window's thread.
    void Apply(const CStationEvent& event);
    void ShowMessage(const QString& strText);
    // The station ended with nResult: Stop becomes Close, which ends the window with it.
    void Ended(int nResult);

    // From the station's threads: handed to the window's thread.
    void OnStationEvent(const CStationEvent& event) override;
    void OnStationMessage(const std::string& strText) override;

    CSlotTile* Tile(const QString& strSlot) const;
    // The tiles in their places (null where a place is free), row by row.
    const std::vector<CSlotTile*>& Places() const { return m_places; }

    static constexpr int COLUMNS = 4;
    // How long the tile of a board that left stays, showing EMPTY.
    static constexpr int EMPTY_LINGER_MS = 3000;

    // Escape and the close box: Stop while the station runs, Close after.
    void reject() override;
    // A stop signal: Stop, and close with the station's result once it ended.
    void StopAndClose();

signals:
    void StopClicked();

private:
    void OnStopButton();
    void UpdateCounters();
    CSlotTile* PlaceTile(const QString& strSlot);
    void RemoveTile(CSlotTile* pTile);

    std::unique_ptr<Ui::CStationWnd> m_pUi;
    std::vector<CSlotTile*> m_places;
    std::map<QString, CSlotTile*> m_tiles;
    CStationCounts m_counts;
    QElapsedTimer m_running;
    bool m_bStopping = false;
    bool m_bEnded = false;
    bool m_bCloseWhenEnded = false;
    int m_nResult = 0;
};
