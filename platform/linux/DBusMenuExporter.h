#pragma once

#include <QDBusConnection>
#include <QDBusVirtualObject>
#include <QHash>
#include <QList>
#include <QPointer>
#include <QString>
#include <QVariantMap>

class QAction;
class QDBusMessage;

// The answer to Introspect for an object of ours with the interface
// `interfaceXml` (its <interface> element); a virtual object gets the call
// itself. Null where `call` is not an Introspect call.
QString introspection(const QDBusMessage &call, const QString &interfaceXml);

// The tray item's menu as com.canonical.dbusmenu, made from a list of
// actions: id 0 the root, each entry an id of its own for as long as its
// action is in the list. An entry's properties are sent as they are, all of
// them; a change goes out as ItemsPropertiesUpdated with only what changed,
// a change of the entries as LayoutUpdated with a new revision.
class DBusMenuExporter : public QDBusVirtualObject
{
    Q_OBJECT

public:
    static constexpr char path[] = "/MenuBar";

    DBusMenuExporter(const QDBusConnection &connection, QObject *parent);

    // The entries, top to bottom; a list unlike the last is a new layout.
    void setActions(const QList<QAction *> &actions);

    bool handleMessage(const QDBusMessage &message, const QDBusConnection &connection) override;
    QString introspect(const QString &path) const override;

signals:
    void opened();
    void closed();

private:
    struct Entry
    {
        int id = 0;
        QPointer<QAction> action;
        QVariantMap sent; // the properties as hosts last got them
    };

    void answer(const QDBusMessage &call);
    void followCaller(const QDBusMessage &call);
    // With the label as text (the model's form) / as the host that asked last reads it.
    QVariantMap properties(const Entry &entry) const;
    QVariantMap labelled(QVariantMap properties) const;
    const Entry *entry(int id) const;
    // An event on entry `id`; false where there is no such entry.
    bool handleEvent(int id, const QString &event);
    void sendChanges();
    void followGnomeShell();

    QDBusConnection m_connection;
    QList<Entry> m_entries;
    QHash<QAction *, int> m_ids;
    int m_nextId = 1;
    uint m_revision = 1;
    bool m_changesQueued = false;
    QString m_gnomeShell;         // the Shell's unique bus name, where it runs
    bool m_forGnomeShell = false; // the labels' form of the host that asked last
};
