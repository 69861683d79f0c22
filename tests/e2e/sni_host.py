"""A desktop's StatusNotifier host for the end-to-end test, on the session bus
it is started in (a private one: dbus-run-session).

  sni_host.py serve DIR      be the tray host until ended: own the watcher
                             name with a host registered, so that Qt exports
                             its tray icon over D-Bus; note in DIR/item who
                             registered an item; DIR/ready once owned
  sni_host.py menu DIR       print the item's menu: "id<TAB>label" a line,
                             each label as such a host shows it
  sni_host.py click DIR ID   choose the entry with that id

More services of a desktop (say, one that records notifications) go into
SERVICES as further ServiceInterface classes.
"""
import asyncio
import os
import sys

from dbus_next import Variant
from dbus_next.aio import MessageBus
from dbus_next.service import ServiceInterface, dbus_property, method, PropertyAccess


class Watcher(ServiceInterface):
    name, path = 'org.kde.StatusNotifierWatcher', '/StatusNotifierWatcher'

    def __init__(self, folder):
        super().__init__(self.name)
        self.folder, self.items = folder, []

    @method()
    def RegisterStatusNotifierItem(self, service: 's'):  # noqa: F821 (D-Bus signature)
        self.items.append(service)
        with open(os.path.join(self.folder, 'item'), 'w', encoding='utf-8') as f:
            f.write(service + '\n')

    @method()
    def RegisterStatusNotifierHost(self, service: 's'):  # noqa: F821
        pass

    @dbus_property(access=PropertyAccess.READ)
    def IsStatusNotifierHostRegistered(self) -> 'b':  # noqa: F821
        return True

    @dbus_property(access=PropertyAccess.READ)
    def RegisteredStatusNotifierItems(self) -> 'as':  # noqa: F821
        return self.items

    @dbus_property(access=PropertyAccess.READ)
    def ProtocolVersion(self) -> 'i':  # noqa: F821
        return 0


SERVICES = [Watcher]


async def serve(folder):
    bus = await MessageBus().connect()
    for service in SERVICES:
        bus.export(service.path, service(folder))
        await bus.request_name(service.name)
    open(os.path.join(folder, 'ready'), 'w').close()
    await bus.wait_for_disconnect()


def shown(label):
    """A dbusmenu label as shown: "__" is an underscore, any other "_" marks
    an access key and is not shown."""
    return '_'.join(part.replace('_', '') for part in label.split('__'))


async def item_menu(folder):
    bus = await MessageBus().connect()
    service = open(os.path.join(folder, 'item'), encoding='utf-8').read().strip()
    service, _, path = service.partition('/')
    path = '/' + (path or 'StatusNotifierItem')
    item = bus.get_proxy_object(service, path, await bus.introspect(service, path))
    properties = item.get_interface('org.freedesktop.DBus.Properties')
    menu_path = (await properties.call_get('org.kde.StatusNotifierItem', 'Menu')).value
    menu = bus.get_proxy_object(service, menu_path, await bus.introspect(service, menu_path))
    return menu.get_interface('com.canonical.dbusmenu')


async def print_menu(folder):
    menu = await item_menu(folder)
    _, (_, _, children) = await menu.call_get_layout(0, -1, [])
    for child in children:
        entry_id, props, _ = child.value
        print(f"{entry_id}\t{shown(props['label'].value) if 'label' in props else ''}")


async def click(folder, entry_id):
    menu = await item_menu(folder)
    await menu.call_event(int(entry_id), 'clicked', Variant('i', 0), 0)


if __name__ == '__main__':
    command, args = sys.argv[1], sys.argv[2:]
    asyncio.run({'serve': serve, 'menu': print_menu, 'click': click}[command](*args))
