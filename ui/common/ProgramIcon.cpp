#include "ui/common/ProgramIcon.h"

#include <QFile>

// Resources of a static library register only when asked to.
static void RegisterProgramResources()
{
    Q_INIT_RESOURCE(quillon);
}

QIcon ProgramIcon()
{
    static const bool bRegistered = (RegisterProgramResources(), true);
    static_cast<void>(bRegistered);
    QIcon icon(QStringLiteral(":/quillon.png"));
    // The vector image is used where the Qt SVG module is installed.
    icon.addFile(QStringLiteral(":/quillon.svg"));
    return icon;
}
