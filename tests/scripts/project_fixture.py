"""A fresh copy of the shipped bookkeeping project per test, on a free port.

The scripts run as the program runs them: /usr/bin/python3 and /bin/bash
with the project folder as working directory and stdin on /dev/null.
"""

import http.client
import os
import shutil
import socket
import subprocess
import tempfile
import time
import unittest
from pathlib import Path

PYTHON = "/usr/bin/python3"
BASH = "/bin/bash"
PRODUCTION_PORT = 8765
SOURCE = Path(os.environ.get("HARLUNE_BUCHHALTUNG_SOURCE")
              or Path(__file__).resolve().parents[2] / "resources" / "buchhaltung")
REPORT_FILES = {"index.html", "zusammenfassung.json"}


def free_port():
    while True:
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            port = probe.getsockname()[1]
        if port != PRODUCTION_PORT:
            return port


def listening(port):
    """True when a process accepts connections on the port. Only connects:
    a probe that binds could itself hold the port against a starting server."""
    try:
        socket.create_connection(("127.0.0.1", port), timeout=2).close()
        return True
    except OSError:
        return False


def wait_for(condition, timeout=15.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.05)
    return condition()


class ProjectCase(unittest.TestCase):
    def setUp(self):
        folder = tempfile.TemporaryDirectory()
        self.addCleanup(folder.cleanup)
        self.root = Path(folder.name) / "buchhaltung"
        shutil.copytree(SOURCE, self.root, ignore=shutil.ignore_patterns("logs", "berichte", "__pycache__"))
        self.reports = self.root / "berichte"
        self.pid_file = self.root / "logs" / "server.pid"
        self.port = free_port()
        self.env = {k: v for k, v in os.environ.items() if not k.startswith("HARLUNE_")}
        self.env.update(HARLUNE_PORT=str(self.port), HARLUNE_HOST="127.0.0.1", HARLUNE_AUTH="0")

    def run_script(self, *command, env=None):
        return subprocess.run(command, cwd=self.root, env=env or self.env, stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=60)

    def generate(self):
        return self.run_script(PYTHON, "generate_buchhaltung.py")

    def stop_script(self, env=None):
        return self.run_script(BASH, str(self.root / "stop.sh"), env=env)

    def write_journal(self, *lines):
        (self.root / "buchungen.csv").write_text("\n".join(("Datum;Text;Konto;Betrag;Beleg",) + lines) + "\n")

    def spawn(self, *command, env=None, **options):
        """A child that the test ends (and reaps) whatever happens."""
        process = subprocess.Popen(command, cwd=self.root, env=env or self.env, stdin=subprocess.DEVNULL,
                                   start_new_session=True, **options)

        def end():
            if process.poll() is None:
                process.kill()
            process.wait(timeout=20)
            if process.stdout:
                process.stdout.close()
        self.addCleanup(end)
        return process

    def start_server(self, env=None):
        """serve.py with its output appended to the server log, as the program starts it."""
        log_path = self.root / "logs" / "server-app.log"
        log_path.parent.mkdir(exist_ok=True)
        with open(log_path, "ab") as log:
            server = self.spawn(PYTHON, "serve.py", env=env, stdout=log, stderr=subprocess.STDOUT)
        # The start line comes after the listening socket and the PID file.
        self.assertTrue(wait_for(lambda: server.poll() is not None or "Server läuft auf" in self.server_log()),
                        "serve.py did not start")
        self.assertIsNone(server.poll(), self.server_log())
        return server

    def server_log(self):
        path = self.root / "logs" / "server-app.log"
        return path.read_text(errors="replace") if path.exists() else ""

    def get(self, path, host=None, headers=None, method="GET"):
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=10)
        try:
            connection.request(method, path, headers={"Host": host or f"127.0.0.1:{self.port}", **(headers or {})})
            response = connection.getresponse()
            return response.status, response.headers, response.read()
        finally:
            connection.close()
