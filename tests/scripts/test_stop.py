"""stop.sh against real servers, clients and bystanders, found through the real lsof,
under bash and under dash, which lacks every bash feature newer than macOS's bash 3.2."""

import shutil
import signal
import socket
import subprocess
import time
from contextlib import contextmanager

from project_fixture import PYTHON, SOURCE, ProjectCase, wait_for

# The shell the program runs stop.sh with, and dash wherever this system keeps it.
SHELLS = ("/bin/bash", shutil.which("dash") or "/bin/dash")
LISTENER = ("import os, signal, socket, sys, time\nif 'stur' in sys.argv: signal.signal(signal.SIGTERM, signal.SIG_IGN)\n"
            "s = socket.create_server(('127.0.0.1', int(os.environ['HARLUNE_PORT'])))\nprint(flush=True)\n"
            "time.sleep(120)\n")


@contextmanager
def ended(process):
    """Kills `process` when the block ends, so that a failed case leaves the port to the next."""
    try:
        yield process
    finally:
        process.kill()
        process.wait()


def program_name(pid):
    """The holder's name as this system's ps reports it (macOS's framework Python calls itself "Python")."""
    name = subprocess.run(["/bin/ps", "-o", "comm=", "-p", str(pid)], stdout=subprocess.PIPE, text=True).stdout
    return name.strip().rsplit("/", 1)[-1]


class Stopping(ProjectCase):
    def setUp(self):
        super().setUp()
        self.elsewhere = self.root.parent  # the test's own, outside the project
        self.pid_file.parent.mkdir()

    def hold_port(self, *command, cwd=None):
        """A child that listens on the port (or has connected to it) before this returns."""
        child = self.spawn(*command, stdout=subprocess.PIPE, text=True, cwd=cwd or self.root)
        child.stdout.readline()
        return child

    def stop(self, shell, *stopped_pids, foreign=()):
        result = self.run_script(shell, str(self.root / "stop.sh"))
        lines = ([f"Server gestoppt (PID {', '.join(map(str, stopped_pids))})"] if stopped_pids else
                 [] if foreign else [f"Kein Server lief auf Port {self.port}."])
        lines += list(foreign)
        self.assertEqual((result.returncode, result.stdout.splitlines()), (1 if foreign else 0, lines))
        if not foreign:
            self.assertRaises(ConnectionRefusedError, socket.create_connection, ("127.0.0.1", self.port))
        if stopped_pids:
            self.assertFalse(self.pid_file.exists())

    def test_stops_our_server_however_started(self):
        self.generate()
        spaced, unnamed = self.elsewhere / "Mein Python" / "python3", self.elsewhere / "py"
        spaced.parent.mkdir()
        for link in (spaced, unnamed):
            link.symlink_to(PYTHON)
        for shell in SHELLS:
            for name, command, cwd, pid_file_kept in (
                    ("as the program starts it", (PYTHON, "serve.py"), None, True),
                    # Only its PID file tells: the command line names no Python.
                    ("by an interpreter of another name", (str(unnamed), "serve.py"), None, True),
                    ("with its own arguments", (PYTHON, "-u", "serve.py", "--verbose"), None, False),
                    ("by an interpreter path with a space, from elsewhere", (str(spaced), str(self.root / "serve.py")),
                     "/", False)):
                with self.subTest(name, shell=shell):
                    server = self.start_server(*command, cwd=cwd or self.root)
                    with ended(server):
                        if not pid_file_kept:
                            self.pid_file.unlink()
                        client = self.hold_port(PYTHON, "-c", "import socket\nc = socket.create_connection(("
                                                f"'127.0.0.1', {self.port}))\nprint(flush=True)\nimport time\n"
                                                "time.sleep(120)")
                        self.stop(shell, server.pid)
                        self.assertEqual(server.wait(timeout=15), 0)
                        self.assertIsNone(client.poll())

    def test_server_ignoring_sigterm_gets_sigkill(self):
        for shell in SHELLS:
            with self.subTest(shell):
                (self.root / "serve.py").write_text(LISTENER)
                stubborn = self.hold_port(PYTHON, "serve.py", "stur")
                with ended(stubborn):
                    self.stop(shell, stubborn.pid)
                    self.assertEqual(stubborn.wait(timeout=15), -signal.SIGKILL)

    def test_leaves_alone_and_names_what_is_not_our_server(self):
        other_project = self.elsewhere / "Buchhaltung 2023"
        shutil.copytree(SOURCE, other_project)
        bystander = self.hold_port(PYTHON, "-c", "import time\nprint(flush=True)\ntime.sleep(120)")
        started = time.time()
        earlier = self.start_server()  # what it records stays true of no other process
        earlier_start = self.pid_file.read_text().split("\n")[1]
        earlier.terminate()
        earlier.wait(timeout=15)
        # Where ps tells a start only to the second (macOS), the strangers start in a later one.
        self.assertTrue(wait_for(lambda: time.time() > started + 1.5))
        for shell in SHELLS:
            for name, command, cwd, recorded in (
                    # Started in the project folder and naming serve.py, but running code of its own.
                    ("a listener given serve.py as an argument", (PYTHON, "-c", LISTENER, "serve.py"), None, "{pid}\n"),
                    ("a user's web server in the project folder",
                     (PYTHON, "-u", "-m", "http.server", "-b", "127.0.0.1", str(self.port)), None, ""),
                    # Our server's PID file, its number since taken by a stranger.
                    ("a stranger with a recorded number", (PYTHON, "-c", LISTENER), None, "{pid}\n{start}\n"),
                    ("another project's server", (PYTHON, "serve.py"), other_project, "")):
                with self.subTest(name, shell=shell):
                    holder = self.start_server(*command, cwd=cwd) if cwd else self.hold_port(*command)
                    with ended(holder):
                        self.pid_file.write_text(recorded.format(pid=holder.pid, start=earlier_start))
                        self.stop(shell, foreign=[
                            f"Port {self.port} ist vom Berichtsserver in {other_project} belegt (PID {holder.pid}) – "
                            "er gehört zu einem anderen Projektordner und wurde nicht beendet." if cwd else
                            f"Port {self.port} ist von {program_name(holder.pid)} (PID {holder.pid}) belegt – das ist "
                            "nicht der Berichtsserver; er wurde nicht beendet."])
                        self.assertIsNone(holder.poll())
            with self.subTest("nothing on the port, the PID file naming a bystander", shell=shell):
                self.pid_file.write_text(f"{bystander.pid}\n")
                self.stop(shell)
                self.assertIsNone(bystander.poll())

    def test_refuses_a_port_that_is_none(self):
        for shell in SHELLS:
            for value in ("abc", "0", "70000", "65536", "-1", "8 0", "²"):
                with self.subTest(shell=shell, port=value):
                    result = self.run_script(shell, str(self.root / "stop.sh"), env={**self.env, "HARLUNE_PORT": value})
                    self.assertEqual((result.returncode, result.stdout),
                                     (2, f"Ungültiger Port in HARLUNE_PORT: „{value}“ (erlaubt: 1–65535).\n"))
