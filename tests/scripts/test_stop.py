"""stop.sh against real servers, clients and bystanders, found through the real lsof."""

import subprocess
import unittest

from project_fixture import PYTHON, ProjectCase, listening

# A listener that shrugs off SIGTERM, as a hung server would.
STUBBORN_SERVER = """
import signal, socket, sys, time
signal.signal(signal.SIGTERM, signal.SIG_IGN)
s = socket.socket(); s.bind(("127.0.0.1", int(sys.argv[1]))); s.listen()
print("bereit", flush=True)
time.sleep(120)
"""

# A process that only holds a connection to the port.
CLIENT = """
import socket, sys, time
c = socket.create_connection(("127.0.0.1", int(sys.argv[1])))
print("verbunden", flush=True)
time.sleep(120)
"""


class Stopping(ProjectCase):
    def spawn_python(self, source):
        child = self.spawn(PYTHON, "-c", source, str(self.port), stdout=subprocess.PIPE, text=True)
        child.stdout.readline()
        return child

    def test_stops_the_running_server(self):
        self.assertEqual(self.generate().returncode, 0)
        server = self.start_server()
        result = self.stop_script()
        self.assertEqual(result.returncode, 0, result.stdout)
        self.assertEqual(result.stdout.strip(), f"Server gestoppt (PID {server.pid})")
        self.assertFalse(listening(self.port))
        self.assertEqual(server.wait(timeout=15), 0)
        self.assertFalse(self.pid_file.exists())

    def test_nothing_running_and_stale_pid_file_of_a_bystander(self):
        bystander = self.spawn("/bin/sleep", "120")
        self.pid_file.parent.mkdir()
        self.pid_file.write_text(f"{bystander.pid}\n")
        result = self.stop_script()
        self.assertEqual(result.returncode, 0, result.stdout)
        self.assertEqual(result.stdout.strip(), f"Kein Server lief auf Port {self.port}.")
        self.assertIsNone(bystander.poll())
        self.assertFalse(self.pid_file.exists())

    def test_connected_client_named_in_pid_file_survives(self):
        server = self.start_server()
        client = self.spawn_python(CLIENT)
        self.pid_file.write_text(f"{client.pid}\n")
        result = self.stop_script()
        self.assertEqual(result.stdout.strip(), f"Server gestoppt (PID {server.pid})")
        self.assertEqual(server.wait(timeout=15), 0)
        self.assertIsNone(client.poll())

    def test_server_ignoring_sigterm_gets_sigkill(self):
        stubborn = self.spawn_python(STUBBORN_SERVER)
        self.assertTrue(listening(self.port))
        result = self.stop_script()
        self.assertEqual(result.returncode, 0, result.stdout)
        self.assertEqual(result.stdout.strip(), f"Server gestoppt (PID {stubborn.pid})")
        self.assertEqual(stubborn.wait(timeout=15), -9)
        self.assertFalse(listening(self.port))


if __name__ == "__main__":
    unittest.main()
