#pragma once
// A main window over scripted boards and scripted prompts, with its own board registry.

#include "lang/LanguageStrings.h"
#include "support/FakePipeBackend.h"
#include "ui/ScriptedPrompts.h"
#include "ui/main/DlgStatusBar.h"
#include "ui/main/QuillonDlg.h"
#include "usb/UsbDevice.h"

#include <QFile>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <memory>
#include <string>

class CMainWindowTest : public testing::Test
{
public:
    void SetUp() override
    {
        ASSERT_TRUE(m_registry.isValid() && m_files.isValid());
        qputenv("QUILLON_BOARD_DIR", (m_registry.path() + QStringLiteral("/boards")).toUtf8());
        CLanguageStrings::Instance().Reset();
        m_pDlg = std::make_unique<CQuillonDlg>(nullptr, &m_prompts);
    }
    void TearDown() override
    {
        m_pDlg.reset();
        qunsetenv("QUILLON_BOARD_DIR");
    }

    void AttachBoard() { m_backend.m_boards = {&m_board}; }
    std::string Wire() const
    {
        return {m_board.m_hostToBoard.begin(), m_board.m_hostToBoard.end()};
    }
    QString FilePath(const QString& strName) const { return m_files.filePath(strName); }
    QString WriteFile(const QString& strName, const QByteArray& data) const
    {
        QFile file(FilePath(strName));
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(data);
        return file.fileName();
    }
    QByteArray ReadFile(const QString& strPath) const
    {
        QFile file(strPath);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
    }

    template <typename T> T* Child(const char* pszName) const
    {
        T* pChild = m_pDlg->findChild<T*>(QString::fromLatin1(pszName));
        EXPECT_NE(pChild, nullptr) << pszName;
        return pChild;
    }
    QLineEdit* FileNameBox() const { return Child<QLineEdit>("editFileName"); }
    QLineEdit* SizeBox() const { return Child<QLineEdit>("editFileSize"); }
    QPushButton* ExitButton() const { return Child<QPushButton>("buttonExit"); }

    // Shown and active, with the focus on the Exit button, so a moved focus is seen.
    void ShowWithFocusOnExit()
    {
        m_pDlg->show();
        m_pDlg->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(m_pDlg.get()));
        ExitButton()->setFocus();
        ASSERT_EQ(m_pDlg->focusWidget(), ExitButton());
    }

    QTemporaryDir m_registry;
    QTemporaryDir m_files;
    CFakeBoard m_board;
    CFakePipeBackend m_backend;
    CPipeBackendOverride m_guard{{&m_backend}};
    CScriptedPrompts m_prompts;
    std::unique_ptr<CQuillonDlg> m_pDlg;
};

inline const QString ERROR_CAPTION = QStringLiteral("Quillon Error");
