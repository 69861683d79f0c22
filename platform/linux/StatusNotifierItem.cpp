#include "platform/StatusNotifierItem.h"

#include "platform/PlatformLog.h"
#include "platform/linux/DBusMenuExporter.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QTimer>
#include <QtEndian>

#include <algorithm>

namespace {

const QString itemPath = QStringLiteral("/StatusNotifierItem");
const QString itemInterface = QStringLiteral("org.kde.StatusNotifierItem");
const QString watcherService = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString propertiesInterface = QStringLiteral("org.freedesktop.DBus.Properties");

// One picture of the icon: width, height, ARGB32 pixels in network byte order.
struct IconPixmap
{
    int width = 0;
    int height = 0;
    QByteArray pixels;
    bool operator==(const IconPixmap &) const = default;
};
using IconPixmaps = QList<IconPixmap>;

// Icon name, its pictures, title, text.
struct ToolTip
{
    QString iconName;
    IconPixmaps pixmaps;
    QString title;
    QString text;
};

} // namespace

Q_DECLARE_METATYPE(IconPixmap)
Q_DECLARE_METATYPE(ToolTip)

namespace {

QDBusArgument &operator<<(QDBusArgument &argument, const IconPixmap &pixmap)
{
    argument.beginStructure();
    argument << pixmap.width << pixmap.height << pixmap.pixels;
    argument.endStructure();
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, IconPixmap &pixmap)
{
    argument.beginStructure();
    argument >> pixmap.width >> pixmap.height >> pixmap.pixels;
    argument.endStructure();
    return argument;
}

QDBusArgument &operator<<(QDBusArgument &argument, const ToolTip &tip)
{
    argument.beginStructure();
    argument << tip.iconName << tip.pixmaps << tip.title << tip.text;
    argument.endStructure();
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, ToolTip &tip)
{
    argument.beginStructure();
    argument >> tip.iconName >> tip.pixmaps >> tip.title >> tip.text;
    argument.endStructure();
    return argument;
}

// Every size the icon has a picture for, drawn at that size: a panel at
// scale 2 takes a picture twice its size, not one blown up.
IconPixmaps pixmapsOf(const QIcon &icon)
{
    QList<QSize> sizes = icon.availableSizes();
    if (sizes.isEmpty()) // drawn at any size (an SVG): the common panel sizes
        sizes = {{16, 16}, {22, 22}, {24, 24}, {32, 32}, {48, 48}, {64, 64}};
    std::sort(sizes.begin(), sizes.end(), [](QSize a, QSize b) { return a.width() < b.width(); });
    IconPixmaps pixmaps;
    for (const QSize size : std::as_const(sizes)) {
        const QImage image = icon.pixmap(size, 1.0).toImage().convertToFormat(QImage::Format_ARGB32);
        if (image.isNull() || std::any_of(pixmaps.cbegin(), pixmaps.cend(), [&image](const IconPixmap &p) {
                return p.width == image.width() && p.height == image.height();
            }))
            continue;
        IconPixmap pixmap{image.width(), image.height(), QByteArray(image.width() * image.height() * 4, '\0')};
        auto *out = reinterpret_cast<uchar *>(pixmap.pixels.data());
        for (int y = 0; y < image.height(); ++y) {
            const auto *line = reinterpret_cast<const QRgb *>(image.constScanLine(y));
            for (int x = 0; x < image.width(); ++x, out += 4)
                qToBigEndian<quint32>(line[x], out);
        }
        pixmaps.append(pixmap);
    }
    return pixmaps;
}

// The item's object: its properties, its methods, its change signals.
class ItemObject : public QDBusVirtualObject
{
public:
    ItemObject(StatusNotifierItem *item, const QDBusConnection &connection, const QString &id, const QString &title)
        : QDBusVirtualObject(item)
        , m_item(item)
        , m_connection(connection)
        , m_id(id)
        , m_title(title)
    {
    }

    bool handleMessage(const QDBusMessage &message, const QDBusConnection & /*connection*/) override
    {
        if (message.type() != QDBusMessage::MethodCallMessage)
            return false;
        // Called on Qt's D-Bus thread; the item lives on ours.
        QMetaObject::invokeMethod(
                this, [this, message] { answer(message); }, Qt::QueuedConnection);
        return true;
    }

    QString introspect(const QString & /*path*/) const override;

    void setIcon(const QIcon &icon)
    {
        IconPixmaps pixmaps = pixmapsOf(icon);
        if (pixmaps == m_pixmaps && icon.name() == m_iconName)
            return;
        m_pixmaps = std::move(pixmaps);
        m_iconName = icon.name();
        announce(QStringLiteral("NewIcon"));
    }

    void setToolTip(const QString &text)
    {
        if (std::exchange(m_toolTip, text) != text)
            announce(QStringLiteral("NewToolTip"));
    }

private:
    void announce(const QString &change)
    {
        m_connection.send(QDBusMessage::createSignal(itemPath, itemInterface, change));
    }

    QVariantMap properties() const
    {
        return {
                {QStringLiteral("Category"), QStringLiteral("ApplicationStatus")},
                {QStringLiteral("Id"), m_id},
                {QStringLiteral("Title"), m_title},
                {QStringLiteral("Status"), QStringLiteral("Active")},
                {QStringLiteral("WindowId"), 0},
                {QStringLiteral("IconThemePath"), QString()},
                {QStringLiteral("IconName"), m_iconName},
                {QStringLiteral("IconPixmap"), QVariant::fromValue(m_pixmaps)},
                {QStringLiteral("OverlayIconName"), QString()},
                {QStringLiteral("OverlayIconPixmap"), QVariant::fromValue(IconPixmaps())},
                {QStringLiteral("AttentionIconName"), QString()},
                {QStringLiteral("AttentionIconPixmap"), QVariant::fromValue(IconPixmaps())},
                {QStringLiteral("AttentionMovieName"), QString()},
                {QStringLiteral("ToolTip"), QVariant::fromValue(ToolTip{{}, {}, m_toolTip, {}})},
                {QStringLiteral("ItemIsMenu"), true},
                {QStringLiteral("Menu"),
                 QVariant::fromValue(QDBusObjectPath(QString::fromLatin1(DBusMenuExporter::path)))},
        };
    }

    void answer(const QDBusMessage &call);

    StatusNotifierItem *m_item;
    QDBusConnection m_connection;
    const QString m_id;
    const QString m_title;
    QString m_toolTip;
    QString m_iconName;
    IconPixmaps m_pixmaps;
};

void ItemObject::answer(const QDBusMessage &call)
{
    const QString member = call.member();
    const QString signature = call.signature();
    const QVariantList arguments = call.arguments();
    QDBusMessage reply = call.createReply();
    if (const QString xml = introspection(call, introspect(QString())); !xml.isNull()) {
        reply = call.createReply(xml);
    } else if (call.interface() == propertiesInterface) {
        const QVariantMap all = properties();
        if (member == QLatin1String("GetAll") && signature == QLatin1String("s"))
            reply = call.createReply(all);
        else if (member == QLatin1String("Get") && signature == QLatin1String("ss")
                 && all.contains(arguments.at(1).toString()))
            reply = call.createReply(QVariant::fromValue(QDBusVariant(all.value(arguments.at(1).toString()))));
        else
            reply = call.createErrorReply(QDBusError::InvalidArgs, QStringLiteral("No such property"));
    } else if (member == QLatin1String("ContextMenu") && signature == QLatin1String("ii")) {
        emit m_item->contextMenuRequested(QPoint(arguments.at(0).toInt(), arguments.at(1).toInt()));
    } else if ((member == QLatin1String("SecondaryActivate") && signature == QLatin1String("ii"))
               || (member == QLatin1String("Scroll") && signature == QLatin1String("is"))) {
        // Nothing to do: the menu holds everything the program offers.
    } else {
        // Activate included. A menu has nothing to activate. GNOME's
        // AppIndicator extension calls Activate on a double click whatever
        // ItemIsMenu says, and until told there is no such method it holds
        // every click back for the double-click time; told, it opens its
        // menu on each press at once.
        if (member == QLatin1String("Activate"))
            qCInfo(lcPlatform) << "tray item: Activate refused, the item is a menu (asked by" << call.service() << ")";
        reply = call.createErrorReply(QDBusError::UnknownMethod, QStringLiteral("No such method; the item is a menu"));
    }
    m_connection.send(reply);
}

QString ItemObject::introspect(const QString & /*path*/) const
{
    return QStringLiteral(R"xml(<interface name="org.kde.StatusNotifierItem">
  <property name="Category" type="s" access="read"/>
  <property name="Id" type="s" access="read"/>
  <property name="Title" type="s" access="read"/>
  <property name="Status" type="s" access="read"/>
  <property name="WindowId" type="i" access="read"/>
  <property name="IconThemePath" type="s" access="read"/>
  <property name="Menu" type="o" access="read"/>
  <property name="ItemIsMenu" type="b" access="read"/>
  <property name="IconName" type="s" access="read"/>
  <property name="IconPixmap" type="a(iiay)" access="read"/>
  <property name="OverlayIconName" type="s" access="read"/>
  <property name="OverlayIconPixmap" type="a(iiay)" access="read"/>
  <property name="AttentionIconName" type="s" access="read"/>
  <property name="AttentionIconPixmap" type="a(iiay)" access="read"/>
  <property name="AttentionMovieName" type="s" access="read"/>
  <property name="ToolTip" type="(sa(iiay)ss)" access="read"/>
  <method name="ContextMenu"><arg name="x" type="i" direction="in"/><arg name="y" type="i" direction="in"/></method>
  <method name="SecondaryActivate"><arg name="x" type="i" direction="in"/><arg name="y" type="i" direction="in"/></method>
  <method name="Scroll"><arg name="delta" type="i" direction="in"/><arg name="orientation" type="s" direction="in"/></method>
  <signal name="NewTitle"/>
  <signal name="NewIcon"/>
  <signal name="NewAttentionIcon"/>
  <signal name="NewOverlayIcon"/>
  <signal name="NewToolTip"/>
  <signal name="NewStatus"><arg name="status" type="s"/></signal>
</interface>
)xml");
}

} // namespace

class StatusNotifierItem::Exports
{
public:
    QDBusConnection bus = QDBusConnection::sessionBus();
    ItemObject *item = nullptr;
    DBusMenuExporter *menu = nullptr;
    bool registered = false;
};

bool StatusNotifierItem::isSupported() { return true; }

bool StatusNotifierItem::otherTrayPossible()
{
    return !QGuiApplication::platformName().startsWith(QLatin1String("wayland"));
}

StatusNotifierItem::StatusNotifierItem(const QString &id, const QString &title, const QList<QAction *> &menu,
                                       QObject *parent)
    : QObject(parent)
    , m_exports(std::make_unique<Exports>())
{
    qDBusRegisterMetaType<IconPixmap>();
    qDBusRegisterMetaType<IconPixmaps>();
    qDBusRegisterMetaType<ToolTip>();
    Exports &exports = *m_exports;
    exports.item = new ItemObject(this, exports.bus, id, title);
    exports.menu = new DBusMenuExporter(exports.bus, this);
    exports.menu->setActions(menu);
    connect(exports.menu, &DBusMenuExporter::opened, this, &StatusNotifierItem::menuOpened);
    connect(exports.menu, &DBusMenuExporter::closed, this, &StatusNotifierItem::menuClosed);
    if (!exports.bus.isConnected() || !exports.bus.registerVirtualObject(itemPath, exports.item)
        || !exports.bus.registerVirtualObject(QString::fromLatin1(DBusMenuExporter::path), exports.menu)) {
        qCWarning(lcPlatform) << "tray item: not on the session bus:" << exports.bus.lastError().message();
        QTimer::singleShot(0, this, [this] { emit watcherPresent(false); });
        return;
    }

    // Registered at once, and again with every new watcher: a panel that
    // starts later, or one that restarts, knows only the items that
    // registered with it.
    const auto registerItem = [this] {
        QDBusMessage call =
                QDBusMessage::createMethodCall(watcherService, QStringLiteral("/StatusNotifierWatcher"), watcherService,
                                               QStringLiteral("RegisterStatusNotifierItem"));
        call << m_exports->bus.baseService();
        auto *pending = new QDBusPendingCallWatcher(m_exports->bus.asyncCall(call), this);
        connect(pending, &QDBusPendingCallWatcher::finished, this, [this, pending] {
            pending->deleteLater();
            const QDBusPendingReply<> reply = *pending;
            if (reply.isError())
                qCWarning(lcPlatform) << "tray item: the watcher refused it:" << reply.error().message();
            else
                qCInfo(lcPlatform) << "tray item: registered as" << m_exports->bus.baseService() + itemPath;
            if (std::exchange(m_exports->registered, !reply.isError()) != !reply.isError())
                emit registeredChanged(!reply.isError());
        });
    };
    auto *watch = new QDBusServiceWatcher(watcherService, exports.bus, QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(watch, &QDBusServiceWatcher::serviceOwnerChanged, this,
            [this, registerItem](const QString &, const QString &, const QString &owner) {
                qCInfo(lcPlatform) << "tray item: watcher" << (owner.isEmpty() ? QStringLiteral("gone") : owner);
                emit watcherPresent(!owner.isEmpty());
                if (!owner.isEmpty())
                    registerItem();
                else if (std::exchange(m_exports->registered, false))
                    emit registeredChanged(false);
            });
    auto *asked = new QDBusPendingCallWatcher(
            exports.bus.interface()->asyncCall(QStringLiteral("NameHasOwner"), watcherService), this);
    connect(asked, &QDBusPendingCallWatcher::finished, this, [this, asked, registerItem] {
        asked->deleteLater();
        const QDBusPendingReply<bool> present = *asked;
        const bool watcher = present.isValid() && present.value();
        qCInfo(lcPlatform) << "tray item: at launch" << (watcher ? "a watcher" : "no watcher") << "on the bus";
        emit watcherPresent(watcher);
        if (watcher)
            registerItem();
    });
}

StatusNotifierItem::~StatusNotifierItem()
{
    if (m_exports->bus.isConnected()) {
        m_exports->bus.unregisterObject(itemPath);
        m_exports->bus.unregisterObject(QString::fromLatin1(DBusMenuExporter::path));
    }
}

void StatusNotifierItem::setIcon(const QIcon &icon) { m_exports->item->setIcon(icon); }

void StatusNotifierItem::setToolTip(const QString &text) { m_exports->item->setToolTip(text); }

bool StatusNotifierItem::isRegistered() const { return m_exports->registered; }
