#include "app/TrayIconImage.h"

#include <QPainter>
#include <QPixmap>

#include <algorithm>

namespace TrayIconImage {

QIcon programIcon(const QColor &fallbackForeground)
{
    const QIcon drawing(QStringLiteral(":/icons/harlune-app.svg"));
    QIcon icon;
    // Pixmaps of each size, not the SVG itself: trays over D-Bus get the
    // sizes the icon lists, and an SVG lists none.
    for (const int size : sizes) {
        const QPixmap pixmap = drawing.pixmap(QSize(size, size));
        if (!pixmap.isNull())
            icon.addPixmap(pixmap);
    }
    return icon.isNull() ? bundledIcon(fallbackForeground) : icon;
}

QIcon informationIcon(const QIcon &styleIcon, int deviceSize)
{
    const QList<QSize> sizes = styleIcon.availableSizes();
    const bool sharp = !styleIcon.isNull()
            && (sizes.isEmpty() || std::any_of(sizes.cbegin(), sizes.cend(), [deviceSize](QSize size) {
                    return size.width() >= deviceSize;
                }));
    return sharp ? styleIcon : QIcon(QStringLiteral(":/icons/information.svg"));
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
