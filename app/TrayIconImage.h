#pragma once

#include <QColor>
#include <QIcon>

// The tray symbol: a monochrome document. The desktop's icon theme is asked
// first, so the symbol matches the rest of the bar; where the theme has none
// we draw our own, shipped in the program's resources.
namespace TrayIconImage {

// The theme's symbolic document icon, else the bundled one in `foreground`.
QIcon documentIcon(const QColor &foreground);

// The bundled drawing, coloured in `foreground`. Null only if the resource
// is missing from the build.
QIcon bundledIcon(const QColor &foreground);

} // namespace TrayIconImage
