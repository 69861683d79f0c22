#include "platform/DBusMenuLabel.h"

namespace DBusMenuLabel {

QString withoutAccessKey(const QString &label)
{
    QString shown;
    shown.reserve(label.size());
    for (qsizetype i = 0; i < label.size(); ++i) {
        if (label.at(i) != QLatin1Char('_')) {
            shown.append(label.at(i));
        } else if (i + 1 < label.size() && label.at(i + 1) == QLatin1Char('_')) {
            shown.append(QStringLiteral("__"));
            ++i;
        }
    }
    return shown;
}

QString forGnomeShell(const QString &label)
{
    QString text = withoutAccessKey(label).replace(QStringLiteral("__"), QStringLiteral("_"));
    const bool onlyUnderscores = text.count(QLatin1Char('_')) == text.size();
    if (text.contains(QLatin1Char('_')) && !onlyUnderscores)
        text.prepend(QLatin1Char('_'));
    return text;
}

} // namespace DBusMenuLabel
