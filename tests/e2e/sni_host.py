"""A StatusNotifier tray host for the end-to-end test, on its session bus.
serve DIR: own the watcher with a host registered, so that Qt exports its tray
icon over D-Bus; DIR/ready once owned, DIR/item names the item once registered.
and a notification service that notes each notice in DIR/notices (title, text
and actions a line) and then reports it clicked.
menu DIR: print the item's menu, "id<TAB>label" a line, labels as shown there.
open DIR: tell the item its menu opens, as a host does, then print it.
click DIR ID: choose the entry with that id."""
import asyncio
import sys
from pathlib import Path

from dbus_next import Variant
from dbus_next.aio import MessageBus
from dbus_next.service import PropertyAccess, ServiceInterface, dbus_property, method, signal


class Watcher(ServiceInterface):
    name, path = 'org.kde.StatusNotifierWatcher', '/StatusNotifierWatcher'

    def __init__(self, folder):
        super().__init__(self.name)
        self.folder = folder

    @method()
    def RegisterStatusNotifierItem(self, service: 's'):  # noqa: F821 (a D-Bus signature)
        Path(self.folder, 'item').write_text(service, encoding='utf-8')  # Qt gives its bus name

    @dbus_property(access=PropertyAccess.READ)
    def IsStatusNotifierHostRegistered(self) -> 'b':  # noqa: F821
        return True


class Notifications(ServiceInterface):
    name, path = 'org.freedesktop.Notifications', '/org/freedesktop/Notifications'

    def __init__(self, folder):
        super().__init__(self.name)
        self.notices, self.count = Path(folder, 'notices'), 0

    @method()
    def Notify(self, app: 's', replaces: 'u', icon: 's', title: 's', text: 's',  # noqa: F821
               actions: 'as', hints: 'a{sv}', timeout: 'i') -> 'u':  # noqa: F821
        with self.notices.open('a', encoding='utf-8') as notes:
            notes.write(f"{title}\t{text.replace(chr(10), ' / ')}\t{' '.join(actions)}\n")
        self.count += 1
        # The user clicks each notice, as a desktop reports it.
        asyncio.get_running_loop().call_later(0.5, self.ActionInvoked, self.count, 'default')
        return self.count

    @signal()
    def ActionInvoked(self, notice, action) -> 'us':  # noqa: F821
        return [notice, action]

    @method()
    def GetCapabilities(self) -> 'as':  # noqa: F821
        return ['body', 'actions']

    @method()
    def GetServerInformation(self) -> 'ssss':  # noqa: F821
        return ['e2e', 'harlune', '1', '1.2']


SERVICES = [Watcher, Notifications]


async def serve(folder):
    bus = await MessageBus().connect()
    for service in SERVICES:
        bus.export(service.path, service(folder))
        await bus.request_name(service.name)
    Path(folder, 'ready').touch()
    await bus.wait_for_disconnect()


async def item_menu(folder):
    bus = await MessageBus().connect()

    async def interface(service, path, name):
        return bus.get_proxy_object(service, path, await bus.introspect(service, path)).get_interface(name)
    service = Path(folder, 'item').read_text(encoding='utf-8')
    item = await interface(service, '/StatusNotifierItem', 'org.kde.StatusNotifierItem')
    return await interface(service, await item.get_menu(), 'com.canonical.dbusmenu')


def shown(label):
    """"__" shows as "_"; any other "_" marks the access key and is not shown."""
    return '_'.join(part.replace('_', '') for part in label.split('__'))


async def print_menu(folder, opening=False):
    menu = await item_menu(folder)
    if opening:
        await menu.call_about_to_show(0)
    _, (_, _, entries) = await menu.call_get_layout(0, -1, [])
    for entry in entries:
        entry_id, properties, _ = entry.value
        print(f"{entry_id}\t{shown(properties.get('label', Variant('s', '')).value)}")


async def click(folder, entry_id):
    await (await item_menu(folder)).call_event(int(entry_id), 'clicked', Variant('i', 0), 0)


if __name__ == '__main__':
    commands = {'serve': serve, 'menu': print_menu, 'click': click,
                'open': lambda folder: print_menu(folder, opening=True)}
    asyncio.run(commands[sys.argv[1]](*sys.argv[2:]))
