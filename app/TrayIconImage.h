#pragma once

#include <QColor>
#include <QIcon>

// The tray symbol: a monochrome document. The icon theme is asked first, for
// the program's own symbolic icon (installed with it) and then the theme's
// document, so the symbol matches the rest of the bar; where neither is there
// we draw our own, shipped in the program's resources.
namespace TrayIconImage {

// The themed symbolic icon, else the bundled one in `foreground`.
QIcon documentIcon(const QColor &foreground);

// The bundled drawing, coloured in `foreground`. Null only if the resource
// is missing from the build.
QIcon bundledIcon(const QColor &foreground);

} // namespace TrayIconImage
