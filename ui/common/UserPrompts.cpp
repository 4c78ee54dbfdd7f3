#include "ui/common/UserPrompts.h"

#include "ui/common/FileFilter.h"

#include <QDesktopServices>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QRegularExpression>
#include <QStringList>
#include <QUrl>

QString ConvertFileFilter(const QString& strFilter)
{
    if (!strFilter.contains(QLatin1Char('|')))
    {
        return strFilter;
    }
    const QStringList parts = strFilter.split(QLatin1Char('|'));
    QStringList filters;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2)
    {
        QString strName = parts[i].trimmed();
        if (strName.isEmpty())
        {
            break;
        }
        QStringList patterns = parts[i + 1].split(QLatin1Char(';'), Qt::SkipEmptyParts);
        for (QString& strPattern : patterns)
        {
            strPattern = strPattern.trimmed();
            // "*.*" means every file there, also those without a dot in their names.
            if (strPattern == QStringLiteral("*.*"))
            {
                strPattern = QStringLiteral("*");
            }
        }
        // Qt reads the patterns from the last parentheses; a name that shows its own
        // patterns would otherwise carry them twice.
        strName.remove(QRegularExpression(QStringLiteral("\\s*\\([^()]*\\)$")));
        filters << QStringLiteral("%1 (%2)").arg(strName, patterns.join(QLatin1Char(' ')));
    }
    return filters.join(QStringLiteral(";;"));
}

namespace
{
class CDefaultUserPrompts : public CUserPrompts
{
public:
    void ShowMessage(QWidget* pOwner, const QString& strText, const QString& strCaption,
                     EMessageIcon eIcon) override
    {
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        if (eIcon == EMessageIcon::Error)
        {
            icon = QMessageBox::Critical;
        }
        else if (eIcon == EMessageIcon::Information)
        {
            icon = QMessageBox::Information;
        }
        QMessageBox box(icon, strCaption, strText, QMessageBox::Ok, pOwner);
        box.exec();
    }

    QString ChooseOpenFile(QWidget* pOwner, const QString& strFilter) override
    {
        QFileDialog dialog(pOwner);
        dialog.setAcceptMode(QFileDialog::AcceptOpen);
        dialog.setFileMode(QFileDialog::ExistingFile);
        dialog.setNameFilter(ConvertFileFilter(strFilter));
        return dialog.exec() == QDialog::Accepted ? FirstSelected(dialog) : QString();
    }

    QString ChooseSaveFile(QWidget* pOwner, const QString& strFilter,
                           const QString& strDefaultSuffix) override
    {
        QFileDialog dialog(pOwner);
        dialog.setAcceptMode(QFileDialog::AcceptSave);
        dialog.setFileMode(QFileDialog::AnyFile);
        dialog.setNameFilter(ConvertFileFilter(strFilter));
        dialog.setDefaultSuffix(strDefaultSuffix);
        return dialog.exec() == QDialog::Accepted ? FirstSelected(dialog) : QString();
    }

    bool OpenUrl(const QString& strUrl) override
    {
        const QUrl url = QFileInfo::exists(strUrl) ? QUrl::fromLocalFile(strUrl)
                                                   : QUrl(strUrl, QUrl::TolerantMode);
        return url.isValid() && QDesktopServices::openUrl(url);
    }

private:
    static QString FirstSelected(const QFileDialog& dialog)
    {
        const QStringList files = dialog.selectedFiles();
        return files.isEmpty() ? QString() : QFileInfo(files.first()).absoluteFilePath();
    }
};
} // namespace

CUserPrompts& DefaultUserPrompts()
{
    static CDefaultUserPrompts prompts;
    return prompts;
}
