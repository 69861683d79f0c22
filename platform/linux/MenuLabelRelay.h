#pragma once

#include "platform/linux/QtObjectRelay.h"

// Qt exports the tray menu with the first '&' of each text turned into an
// access key, and with no way to leave it out. This takes the menu's object
// path over on Qt's tray connection, moves Qt's menu aside and passes every
// call and change on to and from it, each label written as the asking host
// reads it: without an access key.
class MenuLabelRelay : public QtObjectRelay
{
    Q_OBJECT

public:
    // Takes over the menu Qt exported on `connection`, for as long as
    // `parent` lives. False where there is none to take over.
    static bool takeOver(const QDBusConnection &connection, QObject *parent);

    QString introspect(const QString &path) const override;

private slots:
    void relayChange(const QDBusMessage &change);

private:
    MenuLabelRelay(const QDBusConnection &connection, QObject *parent);
    QVariantList answer(const QDBusMessage &call, QVariantList values) const override;

    // GNOME Shell's extension reads labels its own way (see DBusMenuLabel).
    QString m_gnomeShell; // the Shell's unique bus name, where it runs
    mutable bool m_hostIsGnomeShell = false; // of the host that asked last
};
