"""stop.sh against real servers, clients and bystanders, found through the real lsof,
under bash and under dash, which lacks every bash feature newer than macOS's bash 3.2."""

import shutil
import socket
import subprocess
import tempfile
from pathlib import Path

from project_fixture import PYTHON, SOURCE, ProjectCase, wait_for

SHELLS = ("/bin/bash", "/usr/bin/dash")
STUBBORN = ("import os, signal, socket, time\nsignal.signal(signal.SIGTERM, signal.SIG_IGN)\n"
            "s = socket.create_server(('127.0.0.1', int(os.environ['HARLUNE_PORT'])))\nprint(flush=True)\n"
            "time.sleep(120)\n")


class Stopping(ProjectCase):
    def hold_port(self, *command, cwd=None):
        """A child that listens on the port (or has connected to it) before this returns."""
        child = self.spawn(*command, stdout=subprocess.PIPE, text=True, cwd=cwd or self.root)
        child.stdout.readline()
        return child

    def stop(self, shell, *stopped_pids, foreign=()):
        result = self.run_script(shell, str(self.root / "stop.sh"))
        lines = ([f"Server gestoppt (PID {', '.join(map(str, stopped_pids))})"] if stopped_pids else
                 [] if foreign else [f"Kein Server lief auf Port {self.port}."])
        lines += [f"Port {self.port} ist von {name} (PID {pid}) belegt – das ist nicht der Berichtsserver; "
                  "er wurde nicht beendet." for name, pid in foreign]
        self.assertEqual((result.returncode, result.stdout.splitlines()), (1 if foreign else 0, lines))
        if not foreign:
            self.assertRaises(ConnectionRefusedError, socket.create_connection, ("127.0.0.1", self.port))
        if stopped_pids:
            self.assertFalse(self.pid_file.exists())

    def test_stops_our_server_however_started_and_no_client_named_in_the_pid_file(self):
        self.generate()
        for shell in SHELLS:
            with self.subTest(shell):
                server = self.start_server()
                client = self.hold_port(PYTHON, "-c", "import socket\nc = socket.create_connection(('127.0.0.1', "
                                        f"{self.port}))\nprint(flush=True)\nimport time; time.sleep(120)")
                self.pid_file.write_text(f"{client.pid}\n")
                self.stop(shell, server.pid)
                self.assertEqual(server.wait(timeout=15), 0)
                self.assertIsNone(client.poll())
                self.pid_file.write_text(f"{client.pid}\n")  # nothing runs now; the PID file names a bystander
                self.stop(shell)
                # By hand from elsewhere, by full path, its PID file lost: still this project's server.
                server = self.spawn(PYTHON, str(self.root / "serve.py"), cwd="/", stdout=subprocess.DEVNULL)
                self.assertTrue(wait_for(lambda: self.pid_file.exists() and self.pid_file.read_text() == f"{server.pid}\n"))
                self.pid_file.unlink()
                self.stop(shell, server.pid)
                self.assertEqual(server.wait(timeout=15), 0)

    def test_server_ignoring_sigterm_gets_sigkill(self):
        (self.root / "serve.py").write_text(STUBBORN)
        for shell in SHELLS:
            with self.subTest(shell):
                stubborn = self.hold_port(PYTHON, "serve.py")
                self.stop(shell, stubborn.pid)
                self.assertEqual(stubborn.wait(timeout=15), -9)

    def test_another_program_on_the_port_survives_is_named_and_our_server_cannot_start(self):
        other_project = Path(self.enterContext(tempfile.TemporaryDirectory())) / "buchhaltung"
        shutil.copytree(SOURCE, other_project)
        (other_project / "serve.py").write_text(STUBBORN)
        for name, command, cwd in (
                ("a user's web server in the project folder", (PYTHON, "-u", "-m", "http.server", "-b", "127.0.0.1"),
                 self.root),
                ("another project's serve.py", (PYTHON, "serve.py"), other_project)):
            for shell in SHELLS:
                with self.subTest(name, shell=shell):
                    holder = self.hold_port(*command, *([str(self.port)] if "-m" in command else []), cwd=cwd)
                    self.pid_file.parent.mkdir(exist_ok=True)
                    self.pid_file.write_text(f"{holder.pid}\n")  # even where our PID file names it
                    self.stop(shell, foreign=[("python3", holder.pid)])
                    start = self.run_script(PYTHON, "serve.py")
                    self.assertEqual(start.returncode, 1)
                    self.assertIn(f"Port {self.port} ist schon belegt", start.stdout)
                    self.assertIsNone(holder.poll())
                    holder.kill()
                    holder.wait()

    def test_refuses_a_port_that_is_none(self):
        for shell in SHELLS:
            for value in ("abc", "0", "70000", "65536", "-1", "8 0", "²"):
                with self.subTest(shell=shell, port=value):
                    result = self.run_script(shell, str(self.root / "stop.sh"), env={**self.env, "HARLUNE_PORT": value})
                    self.assertEqual((result.returncode, result.stdout),
                                     (2, f"Ungültiger Port in HARLUNE_PORT: „{value}“ (erlaubt: 1–65535).\n"))
