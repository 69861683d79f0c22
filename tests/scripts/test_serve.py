"""serve.py as a real process on a free port, asked over real HTTP."""

import json
import os
import signal
import socket
from urllib.parse import quote

from project_fixture import PYTHON, ProjectCase, free_port, wait_for

SECRET = "GEHEIMNIS-4711"


class Serving(ProjectCase):
    def setUp(self):
        super().setUp()
        self.generate()
        (self.root / "geheim.txt").write_text(SECRET)
        self.server = self.start_server()

    def test_dashboard_version_report_files_and_one_log_line_each(self):
        status, headers, body = self.get("/")
        self.assertEqual((status, headers.get_content_type(), "Übersicht" in body.decode()), (200, "text/html", True))
        status, _, body = self.get("/api/version")
        self.assertEqual((status, json.loads(body)["api"]), (200, 5))
        status, _, body = self.get("/zusammenfassung.json")
        self.assertEqual((status, body), (200, (self.reports / "zusammenfassung.json").read_bytes()))
        # However the query spells the token's name, its value never reaches the log; no line there is long.
        for query in ("", "?%74oken=GEHEIM", "?x=1&TOKEN=GEHEIM&y", "?" + "a" * 5000 + "&token=GEHEIM"):
            self.assertEqual(self.get("/fehlt.html" + query)[0], 404)
        self.assertIn(b" 501 ", self.raw("X" * 20000 + " /?token=GEHEIM HTTP/1.1\r\n\r\n"))  # refused, logged alike
        self.assertTrue(wait_for(lambda: " 501" in self.server_log()), self.server_log())
        log = self.server_log()
        for line in (f"läuft auf http://127.0.0.1:{self.port}/ (PID {self.server.pid})", '/api/version HTTP/1.1" 200',
                     '"GET /fehlt.html HTTP/1.1" 404', '?%74oken=*** HTTP/1.1" 404', "&TOKEN=***&y",
                     'a…[gekürzt]" 404'):
            self.assertEqual(log.count(line), 1, line)
        self.assertNotIn("GEHEIM", log)
        self.assertLess(max(len(line) for line in log.splitlines()), 400)

    def test_nothing_outside_the_report_folder(self):
        os.symlink("../geheim.txt", self.reports / "verweis.txt")
        os.symlink(self.root, self.reports / "projekt")
        for path in ("/../geheim.txt", "/%2e%2e/geheim.txt", "/%2E%2E%2Fgeheim.txt", "/..%2fgeheim.txt",
                     "/x/../../geheim.txt", "/%2e%2e%5cgeheim.txt", "/verweis.txt", "/projekt/geheim.txt",
                     "/" + quote(str(self.root / "geheim.txt")), "//etc/passwd"):
            with self.subTest(path):
                status, _, body = self.get(path)
                self.assertEqual((status in (400, 403, 404), SECRET.encode() in body, b"root:" in body), (1, 0, 0))
        for target in (".", "/etc", ".berichte", None):  # "berichte" a link out of the report folders, or none
            os.unlink(self.reports)
            if target:
                os.symlink(target, self.reports)
            self.assertEqual([self.get(path)[0] for path in ("/buchungen.csv", "/passwd", "/.sperre")], [404] * 3)
            self.assertIn("Berichte neu generieren", self.get("/")[2].decode())
        self.generate()
        self.assertEqual(self.get("/")[0], 200)

    def test_foreign_host_refused(self):
        for host in (f"evil.example:{self.port}", f"127.0.0.1:{free_port()}", "127.0.0.1",
                     f"localhost.evil.example:{self.port}"):
            with self.subTest(host):
                self.assertEqual(self.get("/", host=host)[0], 421)
                self.assertEqual(self.get("/api/version", host=host)[0], 421)
        self.assertEqual(self.get("/", host=f"localhost:{self.port}")[0], 200)
        self.assertIn(b" 400 ", self.raw(f"GET / HTTP/1.1\r\nHost: 127.0.0.1:{self.port}\r\nHost: evil\r\n\r\n"))

    def test_pid_file_lives_as_long_as_the_server_and_a_foreign_one_is_left_alone(self):
        self.assertEqual(self.pid_file.read_text().strip(), str(self.server.pid))
        self.server.send_signal(signal.SIGTERM)
        self.assertEqual(self.server.wait(timeout=15), 0)
        self.assertFalse(self.pid_file.exists())
        self.assertIn("Server beendet.", self.server_log())
        self.server = self.start_server()
        self.pid_file.write_text("999999\n")
        self.server.send_signal(signal.SIGINT)
        self.assertEqual(self.server.wait(timeout=15), 0)
        self.assertEqual(self.pid_file.read_text(), "999999\n")


class Token(ProjectCase):
    def test_dashboard_needs_the_token_which_is_traded_for_a_cookie(self):
        token = "geh eim;ß=1"
        self.generate()
        self.start_server(env={**self.env, "HARLUNE_AUTH": token})
        self.assertEqual([self.get(path, headers=headers)[0] for path, headers in (
            ("/", {}), ("/zusammenfassung.json", {}), ("/?token=falsch", {}), ("/", {"Authorization": "Bearer falsch"}),
            ("/", {"Cookie": "harlune_sitzung=abc"}))], [401] * 5)
        self.assertEqual(self.get("/api/version")[0], 200)
        self.assertEqual(self.get("/", headers={"Authorization": "Bearer " + token})[0], 200)
        status, headers, _ = self.get("/?token=" + quote(token))
        self.assertEqual((status, headers["Location"]), (303, "/"))
        cookie = headers["Set-Cookie"]
        self.assertLessEqual({"HttpOnly", "SameSite=Strict", "Path=/"}, {a.strip() for a in cookie.split(";")})
        self.assertNotIn("geh", cookie)
        self.assertEqual(self.get("/", headers={"Cookie": cookie.split(";")[0]})[0], 200)


class StartFailures(ProjectCase):
    def test_refuses_to_start_without_a_usable_port(self):
        with socket.create_server(("127.0.0.1", self.port)):
            for value, message in (*((v, "HARLUNE_PORT") for v in ("abc", "0", "70000", "-1", "²")),
                                   (str(self.port), f"Port {self.port} .*belegt")):
                with self.subTest(value):
                    result = self.run_script(PYTHON, "serve.py", env={**self.env, "HARLUNE_PORT": value})
                    self.assertNotEqual(result.returncode, 0)
                    self.assertRegex(result.stdout, message)
        self.assertFalse(self.pid_file.exists())

