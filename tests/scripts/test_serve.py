"""serve.py as a real process on a free port, asked over real HTTP."""

import http.client
import json
import os
import re
import resource
import signal
import socket
import threading
from concurrent.futures import ThreadPoolExecutor
from contextlib import closing
from urllib.parse import quote

from project_fixture import PYTHON, ProjectCase, free_port, wait_for

SECRET = "GEHEIMNIS-4711"


def answer(connection):
    """The status of the one answer that `connection` waits for, read whole."""
    response = http.client.HTTPResponse(connection)
    response.begin()
    response.read()
    return response.status


class Serving(ProjectCase):
    def setUp(self):
        super().setUp()
        self.generate()
        (self.root / "geheim.txt").write_text(SECRET)
        self.server = self.start_server()
        self.version = f"GET /api/version HTTP/1.1\r\nHost: 127.0.0.1:{self.port}\r\n\r\n".encode()

    def connect(self, first_bytes=b""):
        """A connection that has sent `first_bytes`, a whole request of them answered, open till the test ends."""
        connection = socket.create_connection(("127.0.0.1", self.port), timeout=10)
        self.addCleanup(connection.close)
        connection.sendall(first_bytes)
        if first_bytes == self.version:
            self.assertEqual(answer(connection), 200)
        return connection

    def test_answers_on_one_connection_only_to_this_server_and_a_log_without_probes(self):
        with closing(http.client.HTTPConnection("127.0.0.1", self.port, timeout=30)) as connection:
            answers, sockets = [], set()
            for path in ("/api/version", "/", "/zusammenfassung.json", "/fehlt.html", "/api/version"):
                connection.request("GET", path)
                response = connection.getresponse()
                answers.append((response.status, response.headers.get_content_type(), response.read()))
                sockets.add(id(connection.sock))
            self.assertEqual(len(sockets), 1)  # kept alive, not opened again
            self.assertEqual([a[:2] for a in answers], [(200, "application/json"), (200, "text/html"),
                                                        (200, "application/json"), (404, "text/plain"),
                                                        (200, "application/json")])
            self.assertEqual((json.loads(answers[0][2])["api"], "Übersicht" in answers[1][2].decode(), answers[2][2]),
                             (5, True, (self.reports / "zusammenfassung.json").read_bytes()))
        # A token's value never reaches the log, nor does any long line; refusals are logged like the rest.
        self.assertEqual(self.get("/fehlt.html?" + "a" * 5000 + "&token=GEHEIM")[0], 404)
        for host, target in ((f"evil.example:{self.port}", "/"), (f"127.0.0.1:{free_port()}", "/"), ("127.0.0.1", "/"),
                             (f"localhost.evil.example:{self.port}", "/api/version"),
                             (f"127.0.0.1:{self.port}", "http://evil.example/")):  # other targets: the units
            with self.subTest(host=host, target=target):
                self.assertEqual(self.get(target, host=host)[0], 421)
        self.assertEqual(self.get("/", host=f"localhost:{self.port}")[0], 200)
        self.assertEqual(self.get(f"http://LOCALHOST:{self.port}/api/version", host=f"localhost:{self.port}")[0], 200)
        self.assertIn(b" 400 ", self.connect(self.version.replace(b"\r\n\r\n", b"\r\nHost: evil\r\n\r\n")).recv(100))
        self.assertIn(b" 501 ", self.connect(b"X" * 20000 + b" /?token=GEHEIM HTTP/1.1\r\n\r\n").recv(100))
        self.assertTrue(wait_for(lambda: " 501" in self.server_log()), self.server_log())
        log = self.server_log()
        for line, count in ((f"läuft auf http://127.0.0.1:{self.port}/ (PID {self.server.pid})", 1),
                            ('"GET / HTTP/1.1" 200', 2), ('"GET /fehlt.html HTTP/1.1" 404', 1),
                            ('a…[gekürzt]" 404', 1), ('"GET / HTTP/1.1" 421', 3), ('/api/version HTTP/1.1" 200', 0)):
            self.assertEqual(log.count(line), count, line)
        self.assertNotIn("GEHEIM", log)
        self.assertLess(max(len(line) for line in log.splitlines()), 400)

    def test_a_body_is_never_taken_for_a_request_and_framing_in_doubt_is_refused(self):
        smuggled = f"GET /api/version HTTP/1.1\r\nHost: 127.0.0.1:{self.port}\r\nConnection: close\r\n\r\n"
        for framing, answers in (
                # A body is never read, so the connection ends with the answer.
                (f"Content-Length: {len(smuggled)}\r\n", [200]),
                ("Content-Length: 0\r\n", [200, 200]),  # no body: kept alive for the next request
                (f"Content-Length: 0\r\nContent-Length: {len(smuggled)}\r\n", [400]),
                ("Content-Length: 0\r\ncontent-length: 0\r\n", [400]),
                (f"Content-Length: 0, {len(smuggled)}\r\n", [400]),
                (f"Content-Length: +{len(smuggled)}\r\n", [400]),
                (f"Transfer-Encoding: chunked\r\nContent-Length: {len(smuggled)}\r\n", [400]),
                ("Transfer-Encoding: chunked\r\nTransfer-Encoding: identity\r\n", [400]),
                (f"Content-Length : {len(smuggled)}\r\n", [400]),  # no header to Python, one to others
                (f"X-Folded: a\r\n Content-Length: {len(smuggled)}\r\n", [400]),
                ("X-Gross: " + "a" * 60000 + "\r\n" + "X-Gross: " + "a" * 60000 + "\r\n", [])):  # no head that big
            with self.subTest(framing[:80]):
                raw = self.connect(self.version.replace(b"\r\n\r\n", f"\r\n{framing}\r\n{smuggled}".encode()))
                statuses = re.findall(rb"HTTP/1.1 (\d+) ", raw.makefile("rb").read())  # to the end: closed
                self.assertEqual([int(status) for status in statuses], answers)

    def test_no_number_of_slow_or_idle_clients_locks_out_a_new_one(self):
        self.server.kill()
        self.server.wait()
        # Few open files, as a tight limit makes running out of them come sooner.
        self.server = self.start_server(preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (128, 128)))
        slow = self.connect(b"G")
        idle = [self.connect(self.version) for _ in range(63)]  # the limit reached
        self.assertEqual(self.get("/api/version")[0], 200)
        # The oldest connection idle between requests made room, not the older one still sending its head.
        self.assertEqual(idle[0].recv(1), b"")
        slow.sendall(self.version[1:])
        self.assertEqual(answer(slow), 200)
        for _ in range(100):  # more slow ones than the server could hold open
            self.connect(b"G")
        self.assertEqual([self.get(path)[0] for path in ("/api/version", "/")], [200, 200])

    def test_a_request_head_has_one_deadline_however_slowly_it_trickles_in(self):
        idle, trickle = self.connect(self.version), self.connect()
        trickle.settimeout(0.3)
        for _ in range(200):  # 60 s at most; the server ends it after its 15 s
            try:
                trickle.sendall(b"G")
                if trickle.recv(1) == b"":
                    break
            except socket.timeout:
                continue
            except ConnectionError:
                break
        else:
            self.fail("a head sent a byte at a time kept its connection open")
        self.assertEqual(idle.recv(1), b"")  # kept alive without a new request, it ends too

    def test_nothing_outside_the_report_folder(self):
        os.symlink("../geheim.txt", self.reports / "verweis.txt")
        os.symlink(self.root, self.reports / "projekt")
        os.link(self.root / "geheim.txt", self.reports / "zweiter-name.txt")
        os.mkfifo(self.reports / "rohr.txt")
        for path in ("/../geheim.txt", "/%2e%2e/geheim.txt", "/%2E%2E%2Fgeheim.txt", "/..%2fgeheim.txt",
                     "/x/../../geheim.txt", "/%2e%2e%5cgeheim.txt", "/verweis.txt", "/projekt/geheim.txt",
                     "/" + quote(str(self.root / "geheim.txt")), "//etc/passwd", "/zweiter-name.txt", "/rohr.txt"):
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

    def test_no_swap_of_folder_or_file_meanwhile_serves_what_lies_outside(self):
        outside = self.root.parent / "draussen"
        outside.mkdir()
        (outside / "zusammenfassung.json").write_text(SECRET)
        run = self.root / ".berichte" / os.readlink(self.reports).split("/")[1]
        summary, stop, swaps = run / "zusammenfassung.json", threading.Event(), []

        def swap():  # the run folder for a link out, then the file
            while not stop.is_set():
                swaps.append(1)
                for real, fake in ((run, outside), (summary, outside / "zusammenfassung.json")):
                    os.rename(real, real.with_name("echt"))
                    os.symlink(fake, real)
                    os.unlink(real)
                    os.rename(real.with_name("echt"), real)

        def ask(_):
            with closing(http.client.HTTPConnection("127.0.0.1", self.port, timeout=30)) as connection:
                answers = []
                for _ in range(400):
                    connection.request("GET", "/zusammenfassung.json")
                    response = connection.getresponse()
                    answers.append((response.status, response.read()))
                return answers

        with ThreadPoolExecutor(3) as pool:
            swapping = pool.submit(swap)
            try:
                served = [answer for answers in pool.map(ask, range(2)) for answer in answers]
            finally:
                stop.set()
            swapping.result()
        self.assertEqual((len(served), swaps != []), (800, True))
        self.assertEqual({status for status, body in served if SECRET.encode() in body}, set())
        self.assertLessEqual({status for status, _ in served}, {200, 404})

    def test_pid_file_lives_as_long_as_the_server_and_a_foreign_one_is_left_alone(self):
        self.assertEqual(self.pid_file.read_text().split("\n")[0], str(self.server.pid))
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
        self.assertEqual(self.get("/", headers={"Authorization": ("Bearer " + token).encode()})[0], 200)
        status, headers, _ = self.get("/?token=" + quote(token) + "&x=1")
        self.assertEqual((status, headers["Location"]), (303, "/?x=1"))
        cookie = headers["Set-Cookie"]
        self.assertLessEqual({"HttpOnly", "SameSite=Strict", "Path=/"}, {a.strip() for a in cookie.split(";")})
        self.assertNotIn("geh", cookie)
        self.assertEqual(self.get("/", headers={"Cookie": cookie.split(";")[0]})[0], 200)
        self.assertTrue(wait_for(lambda: "303" in self.server_log()))
        self.assertNotIn("eim", self.server_log())


class StartFailures(ProjectCase):
    def test_refuses_to_start_without_a_usable_port_or_token(self):
        with socket.create_server(("127.0.0.1", self.port)):
            for variable, value, code, message in (
                    *(("HARLUNE_PORT", v, 2, "HARLUNE_PORT") for v in ("abc", "0", "70000", "-1", "²")),
                    ("HARLUNE_PORT", str(self.port), 1, f"Port {self.port} ist schon belegt"),
                    *(("HARLUNE_AUTH", v, 2, "Token .* nicht mit Leerzeichen beginnen") for v in (" a", "a\t", "a\nb"))):
                with self.subTest(variable, value=value):
                    result = self.run_script(PYTHON, "serve.py", env={**self.env, variable: value})
                    self.assertEqual(result.returncode, code)
                    self.assertRegex(result.stdout, message)
        self.assertFalse(self.pid_file.exists())
