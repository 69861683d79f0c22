"""The report server: serves the dashboard and the report files on loopback.

Port: HARLUNE_PORT, else 8765. Serves only what lies in "berichte" (the
current run's folder it links to, never a link out of the project), answers
only requests addressed to 127.0.0.1:<port> or localhost:<port>, and, where
HARLUNE_AUTH holds a token, only requests that carry it (see README.md).
Writes its PID and start to "logs/server.pid" while it runs (for stop.sh);
SIGTERM ends it cleanly.
"""

import sys

sys.dont_write_bytecode = True  # keep the project folder free of __pycache__

import datetime
import errno
import io
import json
import mimetypes
import os
import signal
import socket
import subprocess
import threading
import time
from http import HTTPStatus
from http.cookies import CookieError, SimpleCookie
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qs, unquote, urlencode

import anfrage
import berichtsdatei
from harlune_projekt import API_VERSION, DASHBOARD, DEFAULT_PORT, PID_FILE, project_root, write_atomically

HOST = "127.0.0.1"
COOKIE = "harlune_sitzung"
LOG_LIMIT = 300  # characters of a request line in the log
# A request's whole head must arrive within this time of when the server
# began to wait for it; a kept-alive connection without a new request then
# closes, freeing its thread.
IDLE_SECONDS = 15
# Connections served at once. Beyond it a new one closes an older one: one
# idle between requests first, else the one waiting longest in its step, so
# no number of slow or idle clients locks a new one out. The program's status
# probe reconnects when its kept-alive connection was closed.
MAX_CONNECTIONS = 64
HEAD_LIMIT = 96 * 1024  # bytes of a request head: the longest request line, its headers and a read-ahead
SECURITY_HEADERS = {
    "Cache-Control": "no-store",
    "X-Content-Type-Options": "nosniff",
    "Referrer-Policy": "no-referrer",
    "Content-Security-Policy": "default-src 'none'; style-src 'unsafe-inline'; img-src 'self'; "
                               "base-uri 'none'; form-action 'none'; frame-ancestors 'none'",
}
NO_REPORT_YET = "Noch kein Bericht vorhanden – bitte im Menü „Berichte neu generieren“ wählen."


class Connection:
    """An accepted connection as the server tracks it: the step it is in
    (waiting between requests, receiving a request's head, answering) and
    since when."""
    IDLE, HEAD, ANSWER = "idle", "head", "answer"

    def __init__(self, request):
        self.request, self.step, self.since, self.closed = request, Connection.HEAD, time.monotonic(), False

    def enter(self, step):
        self.step, self.since = step, time.monotonic()


class HeadReader(io.RawIOBase):
    """A connection's input, read against one deadline for a whole request
    head rather than a time-out per read: a client sending a byte now and then
    would otherwise hold its thread for ever."""

    def __init__(self, connection, tracked):
        super().__init__()
        self.connection, self.tracked = connection, tracked
        self.deadline, self.received = time.monotonic() + IDLE_SECONDS, 0

    def readable(self):
        return True

    def expect_head(self, deadline):
        self.deadline, self.received = deadline, 0

    def readinto(self, buffer):
        left = self.deadline - time.monotonic()
        if self.tracked.closed:
            raise ConnectionAbortedError("closed for a newer connection")
        if left <= 0:
            raise socket.timeout("request head not complete in time")
        self.connection.settimeout(left)
        count = self.connection.recv_into(buffer)
        if self.tracked.closed:
            raise ConnectionAbortedError("closed for a newer connection")
        if count and self.tracked.step == Connection.IDLE:
            self.tracked.enter(Connection.HEAD)
        self.received += count
        if self.received > HEAD_LIMIT:
            raise ConnectionAbortedError("request head too large")
        if not count and self.received:
            # Headers cut short could hide the framing the rest would have given.
            raise ConnectionAbortedError("request head cut short")
        return count


class Refused(Exception):
    def __init__(self, status, text):
        super().__init__(text)
        self.status, self.text = status, text


def port_from_environment():
    """The port to listen on, or None when HARLUNE_PORT holds no valid port."""
    text = os.environ.get("HARLUNE_PORT", "").strip() or str(DEFAULT_PORT)
    if not (text.isascii() and text.isdigit()) or not 1 <= int(text) <= 65535:
        return None
    return int(text)


class ReportHandler(BaseHTTPRequestHandler):
    server_version = "HarluneBuchhaltung/1"
    # Keep-alive, so the program's status probe every few seconds need not
    # open a connection each time; every answer carries its length.
    protocol_version = "HTTP/1.1"
    timeout = IDLE_SECONDS
    error_content_type = "text/plain; charset=utf-8"
    error_message_format = "Fehler %(code)d: %(message)s\n"
    quiet = False

    def version_string(self):
        return self.server_version

    def setup(self):
        super().setup()
        self.tracked = self.server.tracked(self.request)
        self.rfile.close()
        self.rfile = io.BufferedReader(HeadReader(self.connection, self.tracked))
        self.answered = False

    def handle_one_request(self):
        if self.answered:
            self.tracked.enter(Connection.IDLE)
        self.rfile.raw.expect_head(self.tracked.since + IDLE_SECONDS)
        self.answered = True
        super().handle_one_request()

    def parse_request(self):
        try:
            return super().parse_request()
        finally:
            # Head done (or refused): the answer gets a bound of its own, for a client that never reads it.
            self.tracked.enter(Connection.ANSWER)
            self.connection.settimeout(IDLE_SECONDS)

    def do_GET(self):
        self.quiet = False
        try:
            self.check_framing()
            self.check_host()
            path, query = anfrage.split_target(self.path, self.server.hosts)
            if path == "/api/version":
                # Open without token: the program's status probe has none, and it tells only the version.
                # The probe comes every five seconds; the log keeps what people do.
                body = json.dumps({"api": API_VERSION, "dienst": "Harlune-Buchhaltung"}) + "\n"
                self.quiet = True
                return self.reply(HTTPStatus.OK, body.encode(), "application/json; charset=utf-8")
            if self.server.token and not self.authorized(path, query):
                return
            name, body = self.read_report(path)
            self.reply(HTTPStatus.OK, body, self.content_type(name))
        except Refused as refusal:
            self.text_reply(refusal.status, refusal.text)
        except anfrage.ForeignTarget:
            self.text_reply(HTTPStatus.MISDIRECTED_REQUEST, self.wrong_address())
        except (anfrage.BadTarget, ValueError):
            self.text_reply(HTTPStatus.BAD_REQUEST, "Ungültige Anfrage.")
        except OSError:
            self.text_reply(HTTPStatus.NOT_FOUND, "Nicht gefunden.")

    def do_HEAD(self):
        self.do_GET()

    def wrong_address(self):
        return f"Falsche Adresse: nur http://{HOST}:{self.server.port}/ wird bedient."

    def check_framing(self):
        # Where the head would end and a body begin must be beyond doubt: a
        # proxy on the way that reads it otherwise would take a body for a
        # request of its own, or the other way round. A body is never read,
        # so a request with one ends its connection.
        lengths = [v.strip() for v in self.headers.get_all("Content-Length") or []]
        codings = self.headers.get_all("Transfer-Encoding") or []
        if self.headers.defects or self.headers.get_payload() or any("\n" in v for v in self.headers.values()):
            self.close_connection = True
            raise Refused(HTTPStatus.BAD_REQUEST, "Ungültige Anfrage: fehlerhafte Kopfzeile.")
        if len(lengths) + len(codings) > 1 or not all(v.isascii() and v.isdigit() for v in lengths):
            self.close_connection = True
            raise Refused(HTTPStatus.BAD_REQUEST, "Ungültige Anfrage: Länge des Inhalts nicht eindeutig.")
        if codings or (lengths and int(lengths[0])):
            self.close_connection = True

    def check_host(self):
        # A page on another site may resolve its own name to 127.0.0.1 (DNS
        # rebinding); its requests then carry that name and are refused here.
        hosts = self.headers.get_all("Host") or []
        if len(hosts) > 1:  # which one would a proxy on the way have checked?
            raise Refused(HTTPStatus.BAD_REQUEST, "Ungültige Anfrage: mehr als eine Host-Angabe.")
        if (hosts[0] if hosts else "").strip().lower() not in self.server.hosts:
            raise Refused(HTTPStatus.MISDIRECTED_REQUEST, self.wrong_address())

    def authorized(self, path, query):
        token = self.server.token
        fields = parse_qs(query)
        if "token" in fields:
            if not anfrage.matches(fields["token"][0], token):
                raise Refused(HTTPStatus.UNAUTHORIZED, "Falsches Token.")
            # Trade the token in the address for a cookie, so it leaves the address bar and history.
            rest = urlencode([(k, v) for k, values in fields.items() if k != "token" for v in values])
            self.reply(HTTPStatus.SEE_OTHER, b"", "text/plain; charset=utf-8", {
                "Location": path + ("?" + rest if rest else ""),
                "Set-Cookie": f"{COOKIE}={anfrage.session_value(token)}; Path=/; HttpOnly; SameSite=Strict",
            })
            return False
        if anfrage.bearer_matches(self.headers.get("Authorization", ""), token):
            return True
        try:
            cookie = SimpleCookie(self.headers.get("Cookie", "")).get(COOKIE)
        except CookieError:
            cookie = None
        if cookie is not None and anfrage.matches(cookie.value, anfrage.session_value(token)):
            return True
        raise Refused(HTTPStatus.UNAUTHORIZED,
                      f"Anmeldung nötig: Dashboard einmal mit http://{HOST}:{self.server.port}/?token=… öffnen "
                      "(Token aus HARLUNE_AUTH).")

    def read_report(self, url_path):
        """The name and the content of the report file that `url_path` names."""
        try:
            name = unquote(url_path, errors="strict") if url_path != "/" else "/" + DASHBOARD
        except UnicodeDecodeError:
            raise Refused(HTTPStatus.NOT_FOUND, "Nicht gefunden.") from None
        names = name.split("/")[1:]
        if "\\" in name or "\0" in name or any(s in ("..", ".") for s in names):
            raise Refused(HTTPStatus.FORBIDDEN, "Zugriff verweigert.")
        if any(s == "" or s.startswith(".") for s in names):
            raise Refused(HTTPStatus.NOT_FOUND, "Nicht gefunden.")
        # A new run of the generator may retire the folder while it is walked;
        # the next try finds the new one.
        for _ in range(3):
            try:
                return names[-1], berichtsdatei.read_report(self.server.root, names)
            except berichtsdatei.NotAReport:
                continue
        raise Refused(HTTPStatus.NOT_FOUND, NO_REPORT_YET if url_path == "/" else "Nicht gefunden.")

    @staticmethod
    def content_type(name):
        kind = mimetypes.guess_type(name)[0] or "application/octet-stream"
        return kind + "; charset=utf-8" if kind.startswith("text/") or kind == "application/json" else kind

    def text_reply(self, status, text):
        self.reply(status, (text + "\n").encode(), "text/plain; charset=utf-8")

    def reply(self, status, body, content_type, headers=None):
        self.send_response(status)
        for name, value in {**SECURITY_HEADERS, "Content-Type": content_type,
                            "Content-Length": str(len(body)), **(headers or {})}.items():
            self.send_header(name, value)
        if self.close_connection:
            self.send_header("Connection", "close")
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def log_request(self, code="-", size="-"):
        code = getattr(code, "value", code)
        if not (self.quiet and code == HTTPStatus.OK):
            self.log_message('"%s" %s', anfrage.masked(self.requestline, self.server.token), code)

    def log_error(self, format, *args):
        pass  # every request already gets its one line from log_request

    def log_message(self, format, *args):
        def bounded(value):  # a request line may be 64 KiB of anything
            text = str(value).encode("unicode_escape").decode("ascii")
            return text if len(text) <= LOG_LIMIT else text[:LOG_LIMIT] + "…[gekürzt]"

        stamp = datetime.datetime.now().strftime("%Y-%m-%d %H:%M:%S")
        say(f"{stamp} {self.client_address[0]} {format % tuple(bounded(a) for a in args)}")


def say(line):
    # stdout is the server log; a lost log line must never break a request.
    try:
        print(line, flush=True)
    except (OSError, ValueError):
        pass


class ReportServer(ThreadingHTTPServer):
    daemon_threads = True
    request_queue_size = MAX_CONNECTIONS

    def __init__(self, root, port, token):
        self.root, self.port, self.token = root, port, token
        self.hosts = (f"{HOST}:{port}", f"localhost:{port}")
        self.lock, self.connections = threading.Lock(), {}
        super().__init__((HOST, port), ReportHandler)

    def process_request(self, request, client_address):
        with self.lock:
            if len(self.connections) >= MAX_CONNECTIONS:
                self.close_for_newer(min(self.connections.values(),
                                         key=lambda c: (c.step != Connection.IDLE, c.since)))
            self.connections[request] = Connection(request)
        super().process_request(request, client_address)

    def close_for_newer(self, victim):
        # Under the lock, while the victim's thread cannot have closed its
        # socket yet (see shutdown_request): a closed one's number may be reused.
        del self.connections[victim.request]
        victim.closed = True
        try:
            victim.request.shutdown(socket.SHUT_RDWR)  # wakes its thread in a read or write
        except OSError:
            pass

    def tracked(self, request):
        with self.lock:
            found = self.connections.get(request)
        if found is None:  # closed before its thread began
            found = Connection(request)
            found.closed = True
        return found

    def shutdown_request(self, request):
        with self.lock:
            self.connections.pop(request, None)
        super().shutdown_request(request)

    def handle_error(self, request, client_address):
        if not isinstance(sys.exc_info()[1], ConnectionError):  # a client that hung up early is no error
            super().handle_error(request, client_address)


def process_identity(pid):
    """When process `pid` began, in the words stop.sh uses for it (see
    process_identity there), or None: the PID then stands alone."""
    try:
        with open(f"/proc/{pid}/stat", "rb") as stat:
            fields = stat.read().decode("latin-1").rsplit(") ", 1)[1].split()
        with open("/proc/sys/kernel/random/boot_id") as boot:
            return f"proc {boot.read().strip()} {fields[19]}"
    except FileNotFoundError:
        pass
    except (OSError, IndexError):
        return None
    try:
        started = subprocess.run(["/bin/ps", "-o", "lstart=", "-p", str(pid)], stdin=subprocess.DEVNULL,
                                 stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=10, text=True,
                                 env={**os.environ, "LC_ALL": "C", "TZ": "UTC0"}).stdout.split()
    except (OSError, subprocess.SubprocessError):
        return None
    return "ps " + " ".join(started) if started else None


def write_pid_file(path):
    # The start beside the PID, so that stop.sh never takes a later process
    # with the same number for this server.
    identity = process_identity(os.getpid())
    try:
        path.parent.mkdir(parents=True, exist_ok=True)
        write_atomically(path, f"{os.getpid()}\n{identity or ''}\n".encode())
    except OSError as error:
        say(f"Warnung: PID-Datei {PID_FILE} nicht geschrieben ({error.strerror}); stop.sh sucht dann über den Port.")


def remove_pid_file(path):
    # Only our own: a newer server may have taken the file over.
    try:
        if path.read_text().split("\n")[0] == str(os.getpid()):
            path.unlink()
    except OSError:
        pass


def main():
    port = port_from_environment()
    if port is None:
        say(f"Ungültiger Port in HARLUNE_PORT: „{os.environ.get('HARLUNE_PORT')}“ (erlaubt: 1–65535).")
        return 2
    token = os.environ.get("HARLUNE_AUTH", "")
    token = "" if token == "0" else token
    if not anfrage.usable_token(token):
        say("Das Token in HARLUNE_AUTH ist nicht verwendbar: Es darf nicht mit Leerzeichen beginnen oder enden "
            "und keine Steuerzeichen enthalten.")
        return 2
    root = project_root()
    try:
        server = ReportServer(root, port, token)
    except OSError as error:
        if error.errno == errno.EADDRINUSE:
            say(f"Port {port} ist schon belegt – läuft der Server bereits? Sonst das andere Programm beenden.")
        else:
            say(f"Server konnte nicht starten: {error.strerror or error}")
        return 1

    def stop(signum, frame):
        # shutdown() waits for serve_forever() to return, which runs on this very thread.
        threading.Thread(target=server.shutdown, daemon=True).start()

    for signum in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        signal.signal(signum, stop)
    pid_file = root / PID_FILE
    write_pid_file(pid_file)
    say(f"Server läuft auf http://{HOST}:{port}/ (PID {os.getpid()})"
        + (" – Zugang nur mit Token" if token else ""))
    try:
        server.serve_forever(poll_interval=0.2)
    finally:
        server.server_close()
        remove_pid_file(pid_file)
    say("Server beendet.")
    return 0


if __name__ == "__main__":
    sys.exit(main())
