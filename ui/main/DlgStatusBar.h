#pragma once
// A status bar for a dialog: panes keyed by the ids of their start texts. Pane 0 stretches;
// the others are as wide as their start texts. Each pane keeps its text exactly as set and
// shows it the way the status bar of the original window did: a tab starts the centred part,
// line ends are not drawn.

#include <QStatusBar>
#include <QString>

#include <vector>

class QLabel;
class QProgressBar;

class CDlgStatusBar : public QStatusBar
{
    Q_OBJECT
public:
    explicit CDlgStatusBar(QWidget* pParent = nullptr);
    ~CDlgStatusBar() override;

    // Replaces the panes: one per id, each starting with the string resource of its id.
    bool SetIndicators(const unsigned* pIds, int nCount);
    int PaneCount() const { return static_cast<int>(m_panes.size()); }
    void SetPaneText(int nPane, const QString& strText);
    QString PaneText(int nPane) const;

    // A progress bar beside the panes while a long transfer runs, in a place kept for it;
    // nTotal 0 hides it.
    void ShowProgress(qint64 nDone, qint64 nTotal);
    bool IsProgressVisible() const;

    // The text a pane shows for a stored text.
    static QString DisplayText(const QString& strText);

private:
    // Places the progress bar, hidden, after the panes.
    void AddProgressBar();

    struct CPane
    {
        unsigned m_nId = 0;
        QString m_strText;
        QLabel* m_pLabel = nullptr;
    };
    std::vector<CPane> m_panes;
    QProgressBar* m_pProgress = nullptr;
};

// The string resources of the main window's status bar.
constexpr unsigned IDS_NO_DEVICE = 2000;
constexpr unsigned IDS_CONNECT_BOARD = 2001;
QString LoadResourceString(unsigned nId);
