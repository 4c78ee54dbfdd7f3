#pragma once
// One slot of the station window: the slot's path and the board's description, a large word
// and a colour for the state, a progress bar while the board is flashed, and the reason of a
// failure. Its accessible name says the slot and the state, its description the rest, so that
// a screen reader (and the window's tests) read it like the screen.

#include <QFrame>
#include <QString>

class QLabel;
class QProgressBar;

enum class ETileState
{
    Waiting, // the board is there, not flashed yet (or held by another process)
    Flashing,
    Done,
    Failed,
    Stopped,
    Empty, // the board left; the tile goes soon
};

class CSlotTile : public QFrame
{
    Q_OBJECT
public:
    explicit CSlotTile(QWidget* pParent = nullptr);

    void SetBoard(const QString& strSlot, const QString& strDescription);
    // strDetail: the reason of a failure, who holds the board, or the bootloader's version.
    void SetState(ETileState eState, const QString& strDetail = QString());
    void SetProgress(uint64_t nDone, uint64_t nTotal);

    ETileState State() const { return m_eState; }
    QString Slot() const { return m_strSlot; }
    // How often the tile was reused or emptied; a delayed removal checks it is still its turn.
    int Generation() const { return m_nGeneration; }

    // "EMPTY", "WAITING", "FLASHING", "DONE", "FAILED", "STOPPED".
    static QString StateWord(ETileState eState);

private:
    void UpdateAccessibleText();

    QLabel* m_pSlot;
    QLabel* m_pDescription;
    QLabel* m_pState;
    QProgressBar* m_pProgress;
    QLabel* m_pDetail;
    ETileState m_eState = ETileState::Waiting;
    QString m_strSlot;
    QString m_strDescription;
    QString m_strDetail;
    int m_nGeneration = 0;
};
