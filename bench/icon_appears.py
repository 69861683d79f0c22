"""Waits until a tray icon named NAME sits in trayer's panel and prints the
moment (CLOCK_REALTIME, nanoseconds, as `date +%s%N`). Prints "ready" once
it watches, so that the program can be started only then. Polls the panel's
windows every millisecond over one X connection: far lighter and finer than
running xwininfo in a loop while the measured program starts.

    python3 bench/icon_appears.py NAME [timeout-seconds]
"""
import ctypes
import ctypes.util
import sys
import time

name = sys.argv[1].encode()
deadline = time.monotonic() + (float(sys.argv[2]) if len(sys.argv) > 2 else 30)

x = ctypes.cdll.LoadLibrary(ctypes.util.find_library("X11"))
x.XOpenDisplay.restype = ctypes.c_void_p
x.XOpenDisplay.argtypes = [ctypes.c_char_p]
x.XDefaultRootWindow.restype = ctypes.c_ulong
x.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
window_list = ctypes.POINTER(ctypes.c_ulong)
x.XQueryTree.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.POINTER(ctypes.c_ulong),
                         ctypes.POINTER(ctypes.c_ulong), ctypes.POINTER(window_list),
                         ctypes.POINTER(ctypes.c_uint)]
x.XInternAtom.restype = ctypes.c_ulong
x.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
x.XGetWindowProperty.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_ulong, ctypes.c_long,
                                 ctypes.c_long, ctypes.c_int, ctypes.c_ulong,
                                 ctypes.POINTER(ctypes.c_ulong), ctypes.POINTER(ctypes.c_int),
                                 ctypes.POINTER(ctypes.c_ulong), ctypes.POINTER(ctypes.c_ulong),
                                 ctypes.POINTER(ctypes.c_char_p)]
x.XFree.argtypes = [ctypes.c_void_p]
display = x.XOpenDisplay(None)
if not display:
    sys.exit("no display")
# Qt names its windows in UTF-8 (_NET_WM_NAME), which XFetchName does not read.
names = [x.XInternAtom(display, b"_NET_WM_NAME", 0), x.XInternAtom(display, b"WM_NAME", 0)]


def children(window):
    root, parent, kids, count = ctypes.c_ulong(), ctypes.c_ulong(), window_list(), ctypes.c_uint()
    if not x.XQueryTree(display, window, ctypes.byref(root), ctypes.byref(parent),
                        ctypes.byref(kids), ctypes.byref(count)):
        return []
    found = [kids[i] for i in range(count.value)]
    if kids:
        x.XFree(kids)
    return found


def title(window):
    for atom in names:
        kind, size, count, left = ctypes.c_ulong(), ctypes.c_int(), ctypes.c_ulong(), ctypes.c_ulong()
        data = ctypes.c_char_p()
        if x.XGetWindowProperty(display, window, atom, 0, 256, 0, 0, ctypes.byref(kind), ctypes.byref(size),
                                ctypes.byref(count), ctypes.byref(left), ctypes.byref(data)) == 0 and data:
            value = ctypes.string_at(data, count.value)
            x.XFree(data)
            if value:
                return value
    return b""


def named_below(window, wanted):
    return any(title(w) == wanted or named_below(w, wanted) for w in children(window))


panel = next((w for w in children(x.XDefaultRootWindow(display)) if title(w) == b"panel"), None)
if panel is None:
    sys.exit("no trayer panel")
print("ready", flush=True)
while time.monotonic() < deadline:
    if named_below(panel, name):
        print(time.clock_gettime_ns(time.CLOCK_REALTIME), flush=True)
        sys.exit(0)
    time.sleep(0.001)
sys.exit("gave up waiting for the icon")
