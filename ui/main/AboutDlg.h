#pragma once
// The About box: the program's name and version, the maker's notice and a link to its site.

#include <QDialog>

class CLanguageStrings;
class CUserPrompts;

class CAboutDlg : public QDialog
{
    Q_OBJECT
public:
    explicit CAboutDlg(QWidget* pParent = nullptr, CUserPrompts* pPrompts = nullptr);
    ~CAboutDlg() override;

    void ApplyAboutTexts();
};
