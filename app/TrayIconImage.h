#pragma once

#include <QColor>
#include <QIcon>

// The program's symbols. In the tray, the program's full-colour icon: the
// light sheet on its blue tile reads on dark bars (waybar, GNOME) and light
// panels (Xfce) alike, where a monochrome symbol in the theme's colours
// vanishes on one or the other. Drawn at every size a panel asks for, so it
// is sharp at output scale 1 and 2.
namespace TrayIconImage {

// Panel sizes up to 64 px (a 32 px panel at scale 2).
inline constexpr int sizes[] = {16, 22, 24, 32, 44, 48, 64};

// The program's icon at every size above (also the alerts' window icon);
// the bundled monochrome drawing in `fallbackForeground` where the SVG
// renderer is missing.
QIcon programIcon(const QColor &fallbackForeground);

// The alerts' information symbol, sharp at `deviceSize` pixels: the
// style's own where it has a picture that large or is drawn at any size
// (a theme's), else the bundled drawing. Qt's own fallback is a 32 px
// picture that a scale of 2 blows up.
QIcon informationIcon(const QIcon &styleIcon, int deviceSize);

// The bundled monochrome drawing, coloured in `foreground`. Null only if
// the resource is missing from the build.
QIcon bundledIcon(const QColor &foreground);

} // namespace TrayIconImage
