// A hand on GNOME Shell: pointer clicks through mutter's remote-desktop
// devices, the path gnome-remote-desktop takes, so the Shell takes them for
// a person's input. One session for all clicks: while it lasts the Shell
// shows its screen-sharing button in the top bar (a press on it ends the
// session), which moves the items beside it. Reads commands, one a line,
// and answers each with "done":
//   click X Y [BUTTON] [COUNT]   BUTTON 1 left, 2 middle, 3 right
const {Gio, GLib} = imports.gi;

const buttons = {1: 0x110, 2: 0x112, 3: 0x111}; // BTN_LEFT, BTN_MIDDLE, BTN_RIGHT
const bus = Gio.DBus.session;

function call(service, path, method, args) {
    const dot = method.lastIndexOf('.');
    return bus.call_sync(`org.gnome.Mutter.${service}`, path, `org.gnome.Mutter.${method.slice(0, dot)}`,
        method.slice(dot + 1), args, null, Gio.DBusCallFlags.NONE, 10000, null).deepUnpack();
}

function pause(ms) {
    const loop = new GLib.MainLoop(null, false);
    GLib.timeout_add(GLib.PRIORITY_DEFAULT, ms, () => loop.quit());
    loop.run();
}

const [remote] = call('RemoteDesktop', '/org/gnome/Mutter/RemoteDesktop', 'RemoteDesktop.CreateSession', null);
const id = bus.call_sync('org.gnome.Mutter.RemoteDesktop', remote, 'org.freedesktop.DBus.Properties', 'Get',
    new GLib.Variant('(ss)', ['org.gnome.Mutter.RemoteDesktop.Session', 'SessionId']), null,
    Gio.DBusCallFlags.NONE, 10000, null).deepUnpack()[0].deepUnpack();
// Absolute positions need a stream of the monitor they are on.
const [cast] = call('ScreenCast', '/org/gnome/Mutter/ScreenCast', 'ScreenCast.CreateSession',
    new GLib.Variant('(a{sv})', [{'remote-desktop-session-id': new GLib.Variant('s', id)}]));
const [stream] = call('ScreenCast', cast, 'ScreenCast.Session.RecordMonitor', new GLib.Variant('(sa{sv})', ['', {}]));
const session = (method, args) => call('RemoteDesktop', remote, `RemoteDesktop.Session.${method}`, args);

const loop = new GLib.MainLoop(null, false);
let status = 1;
bus.signal_subscribe('org.gnome.Mutter.RemoteDesktop', 'org.gnome.Mutter.RemoteDesktop.Session', 'Closed', remote,
    null, Gio.DBusSignalFlags.NONE, () => {
        printerr('the Shell ended the remote-desktop session');
        loop.quit();
    });
// Positions count once the stream runs: the Shell announces its PipeWire node.
bus.signal_subscribe('org.gnome.Mutter.ScreenCast', 'org.gnome.Mutter.ScreenCast.Stream', 'PipeWireStreamAdded',
    stream, null, Gio.DBusSignalFlags.NONE, () => {
        print('ready');
        readCommand();
    });

const input = new Gio.DataInputStream({base_stream: new Gio.UnixInputStream({fd: 0})});
function readCommand() {
    input.read_line_async(GLib.PRIORITY_DEFAULT, null, (_, result) => {
        const [line] = input.read_line_finish_utf8(result);
        if (line === null) {
            status = 0;
            loop.quit();
            return;
        }
        const [command, x, y, button = 1, count = 1] = line.split(' ');
        if (command !== 'click')
            throw new Error(`unknown command ${line}`);
        // Arrive first, so the Shell sees the pointer enter and move before the press.
        for (const dx of [-4, 0]) {
            session('NotifyPointerMotionAbsolute', new GLib.Variant('(sdd)', [stream, Number(x) + dx, Number(y)]));
            pause(100);
        }
        for (let i = 0; i < Number(count); i++) {
            for (const pressed of [true, false]) {
                session('NotifyPointerButton', new GLib.Variant('(ib)', [buttons[button], pressed]));
                pause(40);
            }
        }
        print('done');
        readCommand();
    });
}

session('Start', null);
loop.run();
imports.system.exit(status);
