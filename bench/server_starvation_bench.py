#!/usr/bin/env python3
"""How fast the shipped report server answers while another local account
tries to starve it.

Copies the project to a temporary folder, generates its reports and starts
/usr/bin/python3 serve.py there with the usual limit of 1024 open files.
An attacker then holds as many connections as it can (ATTACKERS, default
1100): fifteen in sixteen dribble a request head one byte every two seconds, the
others finish one request and stay open as idle keep-alive connections;
every connection the server closes is opened again at once. Meanwhile a
client asks for /api/version and the dashboard on fresh connections and
prints how long each answer took (or that none came within 10 s), and the
server's CPU time over the attack.

    python3 bench/server_starvation_bench.py [project] [attackers] [rounds]

Defaults: resources/buchhaltung, 1100 connections, 20 rounds.
"""

import os
import resource
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

PYTHON = "/usr/bin/python3"


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def ask(port, path):
    """Seconds until the whole answer to one GET on a fresh connection, or None."""
    started = time.monotonic()
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=10) as connection:
            connection.sendall(f"GET {path} HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\nConnection: close\r\n\r\n".encode())
            answer = b""
            while True:
                chunk = connection.recv(65536)
                if not chunk:
                    break
                answer += chunk
    except OSError:
        return None
    return time.monotonic() - started if answer.startswith(b"HTTP/1.1 200 ") else None


class Attacker:
    def __init__(self, port, count):
        self.port, self.count, self.stop = port, count, threading.Event()
        self.opened = self.reopened = 0
        self.thread = threading.Thread(target=self.run, daemon=True)

    def connect(self, index):
        connection = socket.create_connection(("127.0.0.1", self.port), timeout=5)
        if index % 16 == 0:  # one finished request, then idle on the kept-alive connection
            connection.sendall(f"GET /api/version HTTP/1.1\r\nHost: 127.0.0.1:{self.port}\r\n\r\n".encode())
            connection.recv(65536)
        else:
            connection.sendall(b"G")
        connection.setblocking(False)
        return connection

    def run(self):
        held = []
        for index in range(self.count):
            try:
                held.append((index, self.connect(index)))
                self.opened += 1
                time.sleep(0.005)  # as fast as the server takes them, not faster than its listen queue
            except OSError:
                break
        while not self.stop.wait(2.0):
            for slot, (index, connection) in enumerate(held):
                try:
                    if index % 16 == 0:
                        if connection.recv(1, socket.MSG_PEEK) == b"":
                            raise ConnectionError
                    else:
                        connection.send(b"E")
                except BlockingIOError:
                    continue
                except OSError:
                    connection.close()
                    try:
                        held[slot] = (index, self.connect(index))
                        self.reopened += 1
                    except OSError:
                        pass
        for _, connection in held:
            connection.close()


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(") ", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def main():
    source = Path(sys.argv[1] if len(sys.argv) > 1 else Path(__file__).resolve().parents[1] / "resources/buchhaltung")
    attackers = int(sys.argv[2]) if len(sys.argv) > 2 else 1100
    rounds = int(sys.argv[3]) if len(sys.argv) > 3 else 20
    hard = resource.getrlimit(resource.RLIMIT_NOFILE)[1]
    resource.setrlimit(resource.RLIMIT_NOFILE, (min(hard, attackers + 256), hard))
    port = free_port()
    env = {**os.environ, "HARLUNE_PORT": str(port), "HARLUNE_AUTH": "0"}
    with tempfile.TemporaryDirectory() as folder:
        project = Path(folder) / "buchhaltung"
        shutil.copytree(source, project, ignore=shutil.ignore_patterns("logs", "berichte", ".berichte", "__pycache__"))
        subprocess.run([PYTHON, "generate_buchhaltung.py"], cwd=project, env=env, check=True, stdout=subprocess.DEVNULL)
        server = subprocess.Popen([PYTHON, "serve.py"], cwd=project, env=env, stdout=subprocess.DEVNULL,
                                  stdin=subprocess.DEVNULL,
                                  preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (1024, 1024)))
        try:
            deadline = time.monotonic() + 15
            while ask(port, "/api/version") is None and time.monotonic() < deadline:
                time.sleep(0.1)
            quiet = [ask(port, "/api/version") for _ in range(rounds)]
            attacker = Attacker(port, attackers)
            attacker.thread.start()
            time.sleep(10)  # the attack in full swing
            cpu_before, started = cpu_seconds(server.pid), time.monotonic()
            answers = {"/api/version": [], "/": []}
            for _ in range(rounds):
                for path, times in answers.items():
                    times.append(ask(port, path))
                time.sleep(0.5)
            held = len(os.listdir(f"/proc/{server.pid}/fd")), len(os.listdir(f"/proc/{server.pid}/task"))
            load = (cpu_seconds(server.pid) - cpu_before) / (time.monotonic() - started)
            attacker.stop.set()
            attacker.thread.join()
        finally:
            server.terminate()
            server.wait()
    print(f"serve.py from {source}, attacker held {attacker.opened} connections "
          f"(reopened {attacker.reopened} that the server closed), {rounds} rounds:")
    print(f"  without attack: /api/version median {statistics.median(t for t in quiet if t) * 1000:.1f} ms")
    for path, times in answers.items():
        answered = sorted(t for t in times if t is not None)
        figures = (f"median {statistics.median(answered) * 1000:.1f} ms, max {answered[-1] * 1000:.1f} ms"
                   if answered else "no answer")
        print(f"  under attack: {path:13} {len(answered)}/{len(times)} answered within 10 s, {figures}")
    print(f"  server under attack: {load * 100:.0f} % of one core, {held[0]} open files, {held[1]} threads")


if __name__ == "__main__":
    main()
