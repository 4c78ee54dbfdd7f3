#include "ui/main/AboutDlg.h"

#include "lang/LanguageStrings.h"
#include "ui/common/LinkTabFilter.h"
#include "ui/common/ProgramIcon.h"
#include "ui/common/UserPrompts.h"
#include "ui/wizard/WizardRun.h"

#include "ui_AboutDlg.h"

namespace
{
QString Text(const CLanguageStrings& strings, int nId)
{
    return QString::fromStdString(strings.GetString(nId));
}
} // namespace

CAboutDlg::CAboutDlg(QWidget* pParent, CUserPrompts* pPrompts)
    : QDialog(pParent), m_pUi(std::make_unique<Ui::AboutDlg>()),
      m_pStrings(&CLanguageStrings::Instance()),
      m_pPrompts(pPrompts != nullptr ? pPrompts : &DefaultUserPrompts())
{
    m_pUi->setupUi(this);
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setWindowIcon(ProgramIcon());
    m_pUi->labelIcon->setPixmap(ProgramIcon().pixmap(32, 32));
    m_pUi->labelLink->setText(
        QStringLiteral("<a href=\"%1\">%2</a>")
            .arg(QString::fromLatin1(MAKER_SITE_URL), QStringLiteral("www.corvane.com")));
    setFixedSize(size());
    // The keyboard starts on OK, the default button; Tab goes between OK and the link.
    m_pUi->buttonOk->setDefault(true);
    setTabOrder(m_pUi->buttonOk, m_pUi->labelLink);
    m_pUi->buttonOk->setFocus();
    new CLinkTabFilter(m_pUi->labelLink);
    connect(m_pUi->buttonOk, &QPushButton::clicked, this, &QDialog::accept);
    connect(m_pUi->labelLink, &QLabel::linkActivated, this, &CAboutDlg::OnLinkClick);
    ApplyAboutTexts();
}

CAboutDlg::~CAboutDlg() = default;

void CAboutDlg::ApplyAboutTexts()
{
    m_pStrings->SetLanguage(m_pStrings->m_nLanguage);
    setWindowTitle(Text(*m_pStrings, 18));
    m_pUi->labelVersion->setText(QString::fromStdString(CWizardRun::VersionLine()));
    m_pUi->labelNotice->setText(Text(*m_pStrings, 19));
    m_pUi->buttonOk->setText(Text(*m_pStrings, 13));
}

void CAboutDlg::OnLinkClick(const QString& strUrl)
{
    // A browser that cannot be started is not worth a message here.
    static_cast<void>(m_pPrompts->OpenUrl(strUrl));
}
