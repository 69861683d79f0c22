#include "app/TrayIconImage.h"

#include "app/AppIdentity.h"

#include <QPainter>
#include <QPixmap>

namespace TrayIconImage {

QIcon documentIcon(const QColor &foreground)
{
    // Our own symbol where the program is installed, else the theme's
    // document. Symbolic names only: the full-colour variants would not
    // follow the bar's colours.
    const QString ownSymbol =
            QString::fromUtf8(AppIdentity::applicationId) + QStringLiteral("-symbolic");
    for (const QString &name : {ownSymbol, QStringLiteral("x-office-document-symbolic"),
                                QStringLiteral("text-x-generic-symbolic")}) {
        QIcon themed = QIcon::fromTheme(name);
        if (!themed.isNull()) {
            themed.setIsMask(true);
            return themed;
        }
    }
    return bundledIcon(foreground);
}

QIcon bundledIcon(const QColor &foreground)
{
    const QPixmap shape(QStringLiteral(":/icons/harlune-document.xpm"));
    if (shape.isNull())
        return {};
    // Only the shape counts; its colour comes from the desktop's palette.
    QPixmap tinted(shape.size());
    tinted.fill(Qt::transparent);
    {
        QPainter painter(&tinted);
        painter.drawPixmap(0, 0, shape);
        painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
        painter.fillRect(tinted.rect(), foreground);
    }
    QIcon icon(tinted);
    icon.setIsMask(true);
    return icon;
}

} // namespace TrayIconImage
