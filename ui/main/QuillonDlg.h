#pragma once
// The main window of window mode.

#include <QDialog>

class CUserPrompts;

class CQuillonDlg : public QDialog
{
    Q_OBJECT
public:
    // pPrompts: the message boxes and file dialogs to use; null means the real ones.
    explicit CQuillonDlg(QWidget* pParent = nullptr, CUserPrompts* pPrompts = nullptr);
    ~CQuillonDlg() override;
};
