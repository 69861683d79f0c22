"""serve.py as a real process on a free port, asked over real HTTP."""

import json
import os
import signal
import socket
import unittest
from urllib.parse import quote

from project_fixture import PYTHON, ProjectCase, free_port, wait_for

SECRET = "GEHEIMNIS-4711"


class Serving(ProjectCase):
    def setUp(self):
        super().setUp()
        self.assertEqual(self.generate().returncode, 0)
        (self.root / "geheim.txt").write_text(SECRET)
        self.server = self.start_server()

    def test_dashboard_version_and_report_files(self):
        status, headers, body = self.get("/")
        self.assertEqual(status, 200)
        self.assertTrue(headers["Content-Type"].startswith("text/html"))
        self.assertIn("Buchhaltung – Übersicht", body.decode())
        status, headers, body = self.get("/api/version")
        self.assertEqual(status, 200)
        self.assertEqual(json.loads(body)["api"], 5)
        status, _, body = self.get("/zusammenfassung.json")
        self.assertEqual(status, 200)
        self.assertIn("anzahl_buchungen", json.loads(body))
        self.assertEqual(self.get("/fehlt.html")[0], 404)

    def test_nothing_outside_the_report_folder(self):
        os.symlink("../geheim.txt", self.reports / "verweis.txt")
        os.symlink(self.root, self.reports / "projekt")
        for path in ("/../geheim.txt", "/%2e%2e/geheim.txt", "/%2E%2E%2Fgeheim.txt", "/..%2fgeheim.txt",
                     "/x/../../geheim.txt", "/%2e%2e%5cgeheim.txt", "/verweis.txt", "/projekt/geheim.txt",
                     "/" + quote(str(self.root / "geheim.txt")), "//etc/passwd"):
            with self.subTest(path):
                status, _, body = self.get(path)
                self.assertIn(status, (400, 403, 404))
                self.assertNotIn(SECRET.encode(), body)
                self.assertNotIn(b"root:", body)

    def test_foreign_host_refused(self):
        other = free_port()
        for host in (f"evil.example:{self.port}", f"127.0.0.1:{other}", "127.0.0.1",
                     f"localhost.evil.example:{self.port}"):
            with self.subTest(host):
                self.assertEqual(self.get("/", host=host)[0], 421)
                self.assertEqual(self.get("/api/version", host=host)[0], 421)
        self.assertEqual(self.get("/", host=f"localhost:{self.port}")[0], 200)

    def test_one_log_line_per_request(self):
        self.get("/api/version")
        self.get("/fehlt.html")
        expected = (f'"GET /api/version HTTP/1.1" 200', f'"GET /fehlt.html HTTP/1.1" 404')
        self.assertTrue(wait_for(lambda: all(e in self.server_log() for e in expected)), self.server_log())
        log = self.server_log()
        self.assertIn(f"Server läuft auf http://127.0.0.1:{self.port}/ (PID {self.server.pid})", log)
        self.assertEqual(sum(line.count("/fehlt.html") for line in log.splitlines()), 1)

    def test_pid_file_lives_as_long_as_the_server(self):
        self.assertEqual(self.pid_file.read_text().strip(), str(self.server.pid))
        self.server.send_signal(signal.SIGTERM)
        self.assertEqual(self.server.wait(timeout=15), 0)
        self.assertFalse(self.pid_file.exists())
        self.assertIn("Server beendet.", self.server_log())

    def test_foreign_pid_file_is_left_alone(self):
        self.pid_file.write_text("999999\n")
        self.server.send_signal(signal.SIGINT)
        self.assertEqual(self.server.wait(timeout=15), 0)
        self.assertEqual(self.pid_file.read_text(), "999999\n")


class Token(ProjectCase):
    TOKEN = "geh eim;ß=1"

    def setUp(self):
        super().setUp()
        self.assertEqual(self.generate().returncode, 0)
        self.start_server(env={**self.env, "HARLUNE_AUTH": self.TOKEN})

    def test_dashboard_needs_the_token_version_does_not(self):
        self.assertEqual(self.get("/")[0], 401)
        self.assertEqual(self.get("/zusammenfassung.json")[0], 401)
        self.assertEqual(self.get("/?token=falsch")[0], 401)
        self.assertEqual(self.get("/", headers={"Authorization": "Bearer falsch"})[0], 401)
        self.assertEqual(self.get("/", headers={"Cookie": "harlune_sitzung=abc"})[0], 401)
        self.assertEqual(self.get("/api/version")[0], 200)
        self.assertEqual(self.get("/", headers={"Authorization": "Bearer " + self.TOKEN})[0], 200)

    def test_token_in_address_is_traded_for_a_cookie(self):
        status, headers, _ = self.get("/?token=" + quote(self.TOKEN))
        self.assertEqual(status, 303)
        self.assertEqual(headers["Location"], "/")
        cookie = headers["Set-Cookie"]
        for attribute in ("HttpOnly", "SameSite=Strict", "Path=/"):
            self.assertIn(attribute, cookie)
        self.assertNotIn("geh", cookie)
        status, _, body = self.get("/", headers={"Cookie": cookie.split(";")[0]})
        self.assertEqual(status, 200)
        self.assertIn("Buchhaltung", body.decode())
        self.assertTrue(wait_for(lambda: "token=***" in self.server_log()), self.server_log())
        self.assertNotIn(quote(self.TOKEN), self.server_log())


class StartFailures(ProjectCase):
    def test_port_taken(self):
        with socket.socket() as holder:
            holder.bind(("127.0.0.1", self.port))
            holder.listen()
            result = self.run_script(PYTHON, "serve.py")
        self.assertNotEqual(result.returncode, 0)
        self.assertIn(f"Port {self.port}", result.stdout)
        self.assertIn("belegt", result.stdout)
        self.assertFalse(self.pid_file.exists())

    def test_invalid_port(self):
        for value in ("abc", "0", "70000", "-1", "²"):
            with self.subTest(value):
                result = self.run_script(PYTHON, "serve.py", env={**self.env, "HARLUNE_PORT": value})
                self.assertNotEqual(result.returncode, 0)
                self.assertIn("HARLUNE_PORT", result.stdout)

    def test_auth_zero_means_open_and_no_reports_yet_is_explained(self):
        self.start_server(env={**self.env, "HARLUNE_AUTH": "0"})
        status, _, body = self.get("/")
        self.assertEqual(status, 404)
        self.assertIn("Berichte neu generieren", body.decode())
        self.assertEqual(self.generate().returncode, 0)
        self.assertEqual(self.get("/")[0], 200)


if __name__ == "__main__":
    unittest.main()
