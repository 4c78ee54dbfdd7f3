#pragma once
// The About box: the program's name and version, the maker's notice and a link to its site.

#include <QDialog>

#include <memory>

class CLanguageStrings;
class CUserPrompts;

namespace Ui
{
class AboutDlg;
}

// The maker's web site behind the link of the About box and of the wizard.
inline constexpr char MAKER_SITE_URL[] = "https://www.corvane.com/";

class CAboutDlg : public QDialog
{
    Q_OBJECT
public:
    // pPrompts: opens the link; null means the real browser.
    explicit CAboutDlg(QWidget* pParent = nullptr, CUserPrompts* pPrompts = nullptr);
    ~CAboutDlg() override;

    void ApplyAboutTexts();
    // Opens the clicked link's address in the browser; the box stays open.
    void OnLinkClick(const QString& strUrl);

private:
    std::unique_ptr<Ui::AboutDlg> m_pUi;
    CLanguageStrings* m_pStrings;
    CUserPrompts* m_pPrompts;
};
