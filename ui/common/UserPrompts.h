#pragma once
// Message boxes and file dialogs behind one narrow interface, so that window logic can be
// tested offscreen with scripted answers.

#include <QString>

class QWidget;

enum class EMessageIcon
{
    None,
    Error,
    Information,
};

class CUserPrompts
{
public:
    virtual ~CUserPrompts() = default;
    // A modal box with one OK button; returns when it is closed. pOwner may be null.
    virtual void ShowMessage(QWidget* pOwner, const QString& strText, const QString& strCaption,
                             EMessageIcon eIcon) = 0;
    // The chosen full path, or an empty string when cancelled.
    virtual QString ChooseOpenFile(QWidget* pOwner, const QString& strFilter) = 0;
    virtual QString ChooseSaveFile(QWidget* pOwner, const QString& strFilter,
                                   const QString& strDefaultSuffix) = 0;
    // Opens a local file or an address in the desktop's browser; false when that cannot be done.
    virtual bool OpenUrl(const QString& strUrl) = 0;
};

// The real boxes and dialogs (QMessageBox, QFileDialog, QDesktopServices).
CUserPrompts& DefaultUserPrompts();
