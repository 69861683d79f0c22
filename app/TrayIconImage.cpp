#include "app/TrayIconImage.h"

#include <QPainter>
#include <QPixmap>

namespace TrayIconImage {

QIcon documentIcon(const QColor &foreground)
{
    // Symbolic names only: the full-colour variants would not follow the
    // bar's colours.
    for (const char *name : {"x-office-document-symbolic", "text-x-generic-symbolic"}) {
        QIcon themed = QIcon::fromTheme(QLatin1String(name));
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
