#pragma once

#include <QDBusConnection>
#include <QDBusVirtualObject>
#include <QString>
#include <QVariantList>

class QDBusMessage;

// Stands in for an object that Qt exported on one of its D-Bus connections
// and offers no way to change: Qt's object moves aside, this takes its
// path and passes each call on to it, and its answer back as answer()
// makes it.
class QtObjectRelay : public QDBusVirtualObject
{
    Q_OBJECT

public:
    bool handleMessage(const QDBusMessage &message, const QDBusConnection &connection) override;

protected:
    QtObjectRelay(const QDBusConnection &connection, const QString &asidePath, QObject *parent);

    // Puts `relay` at `path` in place of Qt's `qtObject`, which moves to
    // the relay's aside path. Where the connection refuses, Qt's object
    // stays (or goes back) and `relay` is deleted: false.
    static bool standIn(const QString &path, QObject *qtObject, QtObjectRelay *relay);

    // A call for Qt's object, on this object's thread: passed on to it.
    virtual void forward(const QDBusMessage &message);
    // The values of Qt's answer to `call`, as they go back to the caller.
    virtual QVariantList answer(const QDBusMessage & /*call*/, QVariantList values) const { return values; }

    QDBusConnection m_connection;
    const QString m_asidePath;
};
