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

} // namespace DBusMenuLabel
