#pragma once
// The main window of window mode.

#include <QDialog>
#include <QElapsedTimer>
#include <QPointer>
#include <QString>

#include <cstdint>
#include <memory>

class CBoardLock;
class CDeviceWatcher;
class CDlgStatusBar;
class CLanguageStrings;
class CStopSignalWatcher;
class CUsbDevice;
class CUserPrompts;
class QMenu;
class QTimer;

namespace Ui
{
class QuillonDlg;
}

// The largest block Receive asks of a board.
constexpr int64_t MAX_RECEIVE_SIZE = 102400;
// The command id of the About item of the window menu.
constexpr unsigned IDM_ABOUTBOX = 16;
// The Save-As dialog offers these.
inline constexpr char FILE_DIALOG_FILTER[] = "Binary Files (*.bin);;All Files (*)";
// The Open dialog offers the firmware files Send takes.
inline constexpr char OPEN_FILE_DIALOG_FILTER[] =
    "Firmware Files (*.bin *.elf *.axf *.hex *.ihex *.srec *.s19);;All Files (*)";
inline constexpr char SAVE_DEFAULT_SUFFIX[] = "bin";
// The name of the user guide's start page.
inline constexpr char HELP_START_PAGE[] = "index.html";

class CQuillonDlg : public QDialog
{
    Q_OBJECT
public:
    // pPrompts: the message boxes and file dialogs to use; null means the real ones.
    explicit CQuillonDlg(QWidget* pParent = nullptr, CUserPrompts* pPrompts = nullptr);
    ~CQuillonDlg() override;

    // The operations behind the buttons and menu items; each stands alone.
    void OnBrowse();
    void OnSend();
    void OnReceive();
    void OnGetFirmwareVersion();
    void OnExecute();
    void ExecuteOnBoard(bool bQuiet);
    // Shows which board is attached; false when none is, or when it was refused.
    bool OnDeviceChange();
    QString ChooseSaveFile();
    void OnHelpTopics();
    void OnAbout();
    void OnExit();
    void OnSysCommand(unsigned nId);

    // Adds the lines of one successful operation to the log in one step.
    void AppendToLog(const QString& strText);
    // The log's text exactly as appended, line ends included.
    QString LogText() const { return m_strLog; }
    // What the framework's OK route took from the file-name box.
    QString SelectedFile() const { return m_strSelectedFile; }

    CDlgStatusBar* StatusBar() const;
    // The window menu (the system menu of other desktops): Minimize, Close and About.
    QMenu* WindowMenu() const { return m_pWindowMenu; }
    CDeviceWatcher* DeviceWatcher() const { return m_pDeviceWatcher; }
    // Reports SIGINT and SIGTERM when a CStopSignalGuard was installed before the window.
    CStopSignalWatcher* StopWatcher() const { return m_pStopWatcher; }

    // Where the user guide's start page is: next to the program in help/, else in the
    // installed documentation. Empty when neither exists.
    static QString FindHelpFile();

    // Every closing route ends here: ends the modal run, then tells an attached board to run
    // the loaded program.
    void done(int nResult) override;
    // Return in a text box: result 1.
    void accept() override;
    // Esc, the close box, Alt+F4: result 2.
    void reject() override;

protected:
    void keyPressEvent(QKeyEvent* pEvent) override;
    void closeEvent(QCloseEvent* pEvent) override;
    void contextMenuEvent(QContextMenuEvent* pEvent) override;
    void showEvent(QShowEvent* pEvent) override;
    bool eventFilter(QObject* pObject, QEvent* pEvent) override;

private:
    class CBusyScope;

    // The captions of the window's message boxes.
    static constexpr char ERROR_CAPTION[] = "Quillon Error";
    static constexpr char INFO_CAPTION[] = "Quillon";

    void OnDevicesChangedSignal();
    // A stop signal closes the window like the close box, once no operation runs.
    void OnStopSignal();
    void CloseOnStop();
    void CatchUpWithDisplay();
    // The first board, held in lock for the operation; null when there is none, or when
    // another process holds it (lock then says so).
    std::unique_ptr<CUsbDevice> TakeBoard(CBoardLock& lock);
    void AttachProgress(CUsbDevice& device);
    void EndTransfer();
    void SetControlsEnabled(bool bEnabled);
    bool OnTransferProgress(uint64_t nDone, uint64_t nTotal);
    void ShowError(const QString& strText);
    void BuildWindowMenu();

    std::unique_ptr<Ui::QuillonDlg> m_pUi;
    CUserPrompts* m_pPrompts = nullptr;
    CLanguageStrings* m_pStrings = nullptr;
    const unsigned* m_pIndicators = nullptr;
    int m_nIndicators = 0;
    QString m_strSelectedFile;
    QString m_strLog;
    QMenu* m_pWindowMenu = nullptr;
    CDeviceWatcher* m_pDeviceWatcher = nullptr;
    QTimer* m_pBusyBoardRetry = nullptr;
    CStopSignalWatcher* m_pStopWatcher = nullptr;

    int m_nBusy = 0;
    bool m_bDeviceChangePending = false;
    bool m_bClosed = false;
    bool m_bStopRequested = false;
    bool m_bTransferring = false;
    // A block was abandoned half way: no execute command may follow.
    bool m_bBoardInDoubt = false;
    QPointer<QWidget> m_pFocusBeforeTransfer;
    QElapsedTimer m_transferClock;
    qint64 m_nLastPumpMs = 0;
};
