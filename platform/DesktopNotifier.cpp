#include "platform/DesktopNotifier.h"

DesktopNotifier::DesktopNotifier(const QString &appName, const QString &desktopEntry, const QString &iconName,
                                 QObject *parent)
    : QObject(parent)
    , m_appName(appName)
    , m_desktopEntry(desktopEntry)
    , m_iconName(iconName)
{
    listen();
}

QString DesktopNotifier::escapedForMarkup(const QString &text)
{
    QString escaped = text;
    escaped.replace(QLatin1Char('&'), QStringLiteral("&amp;"));
    escaped.replace(QLatin1Char('<'), QStringLiteral("&lt;"));
    escaped.replace(QLatin1Char('>'), QStringLiteral("&gt;"));
    return escaped;
}
