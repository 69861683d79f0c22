"""A fresh copy of the shipped bookkeeping project per test, on a free port."""

import http.client
import os
import shutil
import socket
import subprocess
import tempfile
import time
import unittest
from contextlib import closing
from pathlib import Path

PYTHON = "/usr/bin/python3"
SOURCE = Path(os.environ.get("HARLUNE_BUCHHALTUNG_SOURCE")
              or Path(__file__).resolve().parents[2] / "resources" / "buchhaltung")
REPORT_FILES = {"index.html", "zusammenfassung.json"}


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


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
        self.log = self.root / "logs" / "server-app.log"
        self.port = free_port()
        self.env = {k: v for k, v in os.environ.items() if not k.startswith("HARLUNE_")}
        self.env.update(HARLUNE_PORT=str(self.port), HARLUNE_HOST="127.0.0.1", HARLUNE_AUTH="0")

    def run_script(self, *command, env=None):
        """As the program runs the scripts: in the project folder, stdin on /dev/null."""
        return subprocess.run(command, cwd=self.root, env=env or self.env, stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=60)

    def generate(self, succeed=True):
        result = self.run_script(PYTHON, "generate_buchhaltung.py")
        self.assertEqual(result.returncode == 0, succeed, result.stdout)
        return result

    def write_journal(self, *lines):
        (self.root / "buchungen.csv").write_text("\n".join(("Datum;Text;Konto;Betrag;Beleg",) + lines) + "\n")

    def spawn(self, *command, env=None, **options):
        """A child that the test kills and reaps whatever happens."""
        options.setdefault("cwd", self.root)
        process = subprocess.Popen(command, env=env or self.env, stdin=subprocess.DEVNULL, start_new_session=True,
                                   **options)

        def end():
            process.kill()
            process.communicate(timeout=20)  # reaps it and closes its pipe
        self.addCleanup(end)
        return process

    def start_server(self, *command, env=None, **options):
        """serve.py with its output appended to the server log, started as the program starts it
        unless `command` says otherwise."""
        self.log.parent.mkdir(exist_ok=True)
        with open(self.log, "ab") as log:
            server = self.spawn(*command or (PYTHON, "serve.py"), env=env, stdout=log, stderr=subprocess.STDOUT,
                                **options)
        # The start line, naming this server, comes after the listening socket and the PID file.
        self.assertTrue(wait_for(lambda: server.poll() is not None or f"(PID {server.pid})" in self.server_log()))
        self.assertIsNone(server.poll(), self.server_log())
        return server

    def server_log(self):
        return self.log.read_text(errors="replace") if self.log.exists() else ""

    def get(self, path, host=None, headers=None):
        with closing(http.client.HTTPConnection("127.0.0.1", self.port, timeout=10)) as connection:
            connection.request("GET", path, headers={"Host": host or f"127.0.0.1:{self.port}", **(headers or {})})
            response = connection.getresponse()
            return response.status, response.headers, response.read()
