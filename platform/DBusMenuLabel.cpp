#include "platform/DBusMenuLabel.h"

namespace DBusMenuLabel {

QString fromActionText(const QString &actionText)
{
    QString text;
    text.reserve(actionText.size());
    for (qsizetype i = 0; i < actionText.size(); ++i) {
        if (actionText.at(i) == QLatin1Char('&') && i + 1 < actionText.size())
            ++i; // "&&" is a '&', "&x" an access key on x
        text.append(actionText.at(i));
    }
    return text;
}

QString encoded(const QString &text) { return QString(text).replace(QLatin1Char('_'), QStringLiteral("__")); }

QString forGnomeShell(const QString &text)
{
    const bool onlyUnderscores = text.count(QLatin1Char('_')) == text.size();
    return text.contains(QLatin1Char('_')) && !onlyUnderscores ? QLatin1Char('_') + text : text;
}

} // namespace DBusMenuLabel
