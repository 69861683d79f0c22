"""A hand on a Wayland desktop: pointer and keys through wayvnc's RFB socket,
the way a person's input reaches clients (sway ignores synthetic seat clicks).
  rfb_hand.py SOCKET click X Y [BUTTON]   BUTTON 1 left (default), 2 middle, 3 right
  rfb_hand.py SOCKET key NAME...          NAME as in KEYS below"""
import socket
import struct
import sys
import time

KEYS = {'Return': 0xff0d, 'Escape': 0xff1b, 'Down': 0xff54, 'Up': 0xff52}
BUTTON_MASKS = {1: 1, 2: 2, 3: 4}


def receive(connection, size):
    data = b''
    while len(data) < size:
        chunk = connection.recv(size - len(data))
        if not chunk:
            raise ConnectionError('the VNC server hung up')
        data += chunk
    return data


def connect(path):
    connection = socket.socket(socket.AF_UNIX)
    connection.settimeout(10)
    connection.connect(path)
    receive(connection, 12)
    connection.sendall(b'RFB 003.008\n')
    offered = receive(connection, receive(connection, 1)[0])
    if 1 not in offered:
        raise ConnectionError(f'no access without a password offered: {list(offered)}')
    connection.sendall(b'\x01')
    if struct.unpack('>I', receive(connection, 4))[0] != 0:
        raise ConnectionError('the VNC server refused us')
    connection.sendall(b'\x01')  # shared: others may watch
    width, height = struct.unpack('>HH', receive(connection, 4))
    receive(connection, 16)
    receive(connection, struct.unpack('>I', receive(connection, 4))[0])
    return connection, width, height


def pointer(connection, mask, x, y):
    connection.sendall(struct.pack('>BBHH', 5, mask, x, y))


def main(path, command, *arguments):
    connection, _, _ = connect(path)
    with connection:
        if command == 'click':
            x, y = int(arguments[0]), int(arguments[1])
            mask = BUTTON_MASKS[int(arguments[2]) if len(arguments) > 2 else 1]
            # Arrive first, so the client sees the pointer enter and move
            # before the press (as after a menu that held the pointer).
            for step in (x - 4, x):
                pointer(connection, 0, max(step, 0), y)
                time.sleep(0.2)
            pointer(connection, mask, x, y)
            time.sleep(0.1)
            pointer(connection, 0, x, y)
        elif command == 'key':
            for name in arguments:
                for down in (1, 0):
                    connection.sendall(struct.pack('>BBxxI', 4, down, KEYS[name]))
                    time.sleep(0.05)
        else:
            raise SystemExit(f'unknown command {command}')
        time.sleep(0.2)  # let the server pass it on before we hang up


if __name__ == '__main__':
    main(*sys.argv[1:])
