"""stop.sh against real servers, clients and bystanders, found through the real lsof."""

import socket
import subprocess

from project_fixture import PYTHON, ProjectCase


class Stopping(ProjectCase):
    def hold_port(self, statement):
        """A Python child that has run `statement` on the port before this returns, then waits."""
        source = f"import signal, socket, time\n{statement}\nprint(flush=True)\ntime.sleep(120)"
        child = self.spawn(PYTHON, "-c", source, stdout=subprocess.PIPE, text=True)
        child.stdout.readline()
        return child

    def stop(self, *stopped_pids):
        result = self.run_script("/bin/bash", str(self.root / "stop.sh"))
        self.assertEqual(result.returncode, 0, result.stdout)
        self.assertEqual(result.stdout.strip(), f"Server gestoppt (PID {', '.join(map(str, stopped_pids))})"
                         if stopped_pids else f"Kein Server lief auf Port {self.port}.")
        self.assertRaises(ConnectionRefusedError, socket.create_connection, ("127.0.0.1", self.port))
        self.assertFalse(self.pid_file.exists())

    def test_stops_the_listener_not_a_client_named_in_the_pid_file_nor_a_bystander_later(self):
        self.generate()
        server = self.start_server()
        client = self.hold_port(f"c = socket.create_connection(('127.0.0.1', {self.port}))")
        self.pid_file.write_text(f"{client.pid}\n")
        self.stop(server.pid)
        self.assertEqual(server.wait(timeout=15), 0)
        self.assertIsNone(client.poll())
        self.pid_file.write_text(f"{client.pid}\n")  # nothing runs now; the PID file names a bystander
        self.stop()
        self.assertIsNone(client.poll())

    def test_server_ignoring_sigterm_gets_sigkill(self):
        stubborn = self.hold_port("signal.signal(signal.SIGTERM, signal.SIG_IGN)\n"
                                  f"s = socket.create_server(('127.0.0.1', {self.port}))")
        self.stop(stubborn.pid)
        self.assertEqual(stubborn.wait(timeout=15), -9)
