"""The report server: serves the dashboard and the report files on loopback.

Port: HARLUNE_PORT, else 8765. Serves only what lies in "berichte" (the
current run's folder it links to, never a link out of the project), answers
only requests addressed to 127.0.0.1:<port> or localhost:<port>, and, where
HARLUNE_AUTH holds a token, only requests that carry it (see README.md).
Writes its PID to "logs/server.pid" while it runs; SIGTERM ends it cleanly.
"""

import sys

sys.dont_write_bytecode = True  # keep the project folder free of __pycache__

import datetime
import errno
import hashlib
import hmac
import json
import mimetypes
import os
import re
import signal
import threading
from http import HTTPStatus
from http.cookies import CookieError, SimpleCookie
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path
from urllib.parse import parse_qs, unquote, unquote_plus, urlencode, urlsplit

from harlune_projekt import API_VERSION, DASHBOARD, DEFAULT_PORT, PID_FILE, ROOT, report_folder, write_atomically

HOST = "127.0.0.1"
COOKIE = "harlune_sitzung"
LOG_LIMIT = 300  # characters of a request line in the log
PARAMETER = re.compile(r"(?<=[?&\s])([^=?&\s]+)=([^&\s]*)")
SECURITY_HEADERS = {
    "Cache-Control": "no-store",
    "X-Content-Type-Options": "nosniff",
    "Referrer-Policy": "no-referrer",
    "Content-Security-Policy": "default-src 'none'; style-src 'unsafe-inline'; img-src 'self'; "
                               "base-uri 'none'; form-action 'none'; frame-ancestors 'none'",
}
NO_REPORT_YET = "Noch kein Bericht vorhanden – bitte im Menü „Berichte neu generieren“ wählen."


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


def session_value(token):
    """The cookie value for a token: derived, so the token itself never sits
    in the browser's cookie store and needs no cookie escaping."""
    return hmac.new(token.encode("utf-8"), b"harlune-dashboard", hashlib.sha256).hexdigest()


def matches(given, expected):
    return hmac.compare_digest(given.encode("utf-8"), expected.encode("utf-8"))


class ReportHandler(BaseHTTPRequestHandler):
    server_version = "HarluneBuchhaltung/1"
    timeout = 30  # an idle client must not hold a thread for ever
    error_content_type = "text/plain; charset=utf-8"
    error_message_format = "Fehler %(code)d: %(message)s\n"

    def version_string(self):
        return self.server_version

    def do_GET(self):
        try:
            self.check_host()
            target = urlsplit(self.path)
            if target.path == "/api/version":
                # Open without token: the program's status probe has none, and it tells only the version.
                body = json.dumps({"api": API_VERSION, "dienst": "Harlune-Buchhaltung"}) + "\n"
                return self.reply(HTTPStatus.OK, body.encode(), "application/json; charset=utf-8")
            if self.server.token and not self.authorized(target):
                return
            path, body = self.read_report(target.path)
            self.reply(HTTPStatus.OK, body, self.content_type(path))
        except Refused as refusal:
            self.text_reply(refusal.status, refusal.text)
        except OSError:
            self.text_reply(HTTPStatus.NOT_FOUND, "Nicht gefunden.")
        except ValueError:  # an address urlsplit cannot take apart
            self.text_reply(HTTPStatus.BAD_REQUEST, "Ungültige Anfrage.")

    def do_HEAD(self):
        self.do_GET()

    def check_host(self):
        # A page on another site may resolve its own name to 127.0.0.1 (DNS
        # rebinding); its requests then carry that name and are refused here.
        hosts = self.headers.get_all("Host") or []
        if len(hosts) > 1:  # which one would a proxy on the way have checked?
            raise Refused(HTTPStatus.BAD_REQUEST, "Ungültige Anfrage: mehr als eine Host-Angabe.")
        host = (hosts[0] if hosts else "").strip().lower()
        if host not in (f"{HOST}:{self.server.port}", f"localhost:{self.server.port}"):
            raise Refused(HTTPStatus.MISDIRECTED_REQUEST,
                          f"Falsche Adresse: nur http://{HOST}:{self.server.port}/ wird bedient.")

    def authorized(self, target):
        token = self.server.token
        query = parse_qs(target.query)
        if "token" in query:
            if not matches(query["token"][0], token):
                raise Refused(HTTPStatus.UNAUTHORIZED, "Falsches Token.")
            # Trade the token in the address for a cookie, so it leaves the address bar and history.
            rest = urlencode([(k, v) for k, values in query.items() if k != "token" for v in values])
            self.reply(HTTPStatus.SEE_OTHER, b"", "text/plain; charset=utf-8", {
                "Location": target.path + ("?" + rest if rest else ""),
                "Set-Cookie": f"{COOKIE}={session_value(token)}; Path=/; HttpOnly; SameSite=Strict",
            })
            return False
        bearer = self.headers.get("Authorization", "")
        if bearer.startswith("Bearer ") and matches(bearer[len("Bearer "):].strip(), token):
            return True
        try:
            cookie = SimpleCookie(self.headers.get("Cookie", "")).get(COOKIE)
        except CookieError:
            cookie = None
        if cookie is not None and matches(cookie.value, session_value(token)):
            return True
        raise Refused(HTTPStatus.UNAUTHORIZED,
                      f"Anmeldung nötig: Dashboard einmal mit http://{HOST}:{self.server.port}/?token=… öffnen "
                      "(Token aus HARLUNE_AUTH).")

    def read_report(self, url_path):
        """The report file that `url_path` names, with its content. A new run
        of the generator may retire the folder between finding the file and
        reading it; the file is then looked up again, in the new folder."""
        for _ in range(3):
            path = self.report_file(url_path)
            try:
                return path, path.read_bytes()
            except FileNotFoundError:
                continue
        raise Refused(HTTPStatus.NOT_FOUND, "Nicht gefunden.")

    def report_file(self, url_path):
        """The file in the report folder that `url_path` names."""
        if not url_path.startswith("/"):
            raise Refused(HTTPStatus.BAD_REQUEST, "Ungültige Anfrage.")
        try:
            name = unquote(url_path, errors="strict") if url_path != "/" else "/" + DASHBOARD
        except UnicodeDecodeError:
            raise Refused(HTTPStatus.NOT_FOUND, "Nicht gefunden.") from None
        segments = name.split("/")[1:]
        if "\\" in name or "\0" in name or any(s in ("..", ".") for s in segments):
            raise Refused(HTTPStatus.FORBIDDEN, "Zugriff verweigert.")
        if any(s == "" or s.startswith(".") for s in segments):
            raise Refused(HTTPStatus.NOT_FOUND, "Nicht gefunden.")
        folder = report_folder()
        if folder is None:
            raise Refused(HTTPStatus.NOT_FOUND, NO_REPORT_YET if url_path == "/" else "Nicht gefunden.")
        path = os.path.realpath(os.path.join(folder, *segments))
        if not path.startswith(folder + os.sep):
            raise Refused(HTTPStatus.FORBIDDEN, "Zugriff verweigert.")
        if not os.path.isfile(path):
            raise Refused(HTTPStatus.NOT_FOUND, NO_REPORT_YET if url_path == "/" else "Nicht gefunden.")
        return Path(path)

    @staticmethod
    def content_type(path):
        kind = mimetypes.guess_type(path.name)[0] or "application/octet-stream"
        return kind + "; charset=utf-8" if kind.startswith("text/") or kind == "application/json" else kind

    def text_reply(self, status, text):
        self.reply(status, (text + "\n").encode(), "text/plain; charset=utf-8")

    def reply(self, status, body, content_type, headers=None):
        self.send_response(status)
        for name, value in {**SECURITY_HEADERS, "Content-Type": content_type,
                            "Content-Length": str(len(body)), **(headers or {})}.items():
            self.send_header(name, value)
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def log_request(self, code="-", size="-"):
        code = getattr(code, "value", code)
        self.log_message('"%s" %s', masked(self.requestline), code)

    def log_error(self, format, *args):
        pass  # every request already gets its one line from log_request

    def log_message(self, format, *args):
        def bounded(value):  # a request line may be 64 KiB of anything
            text = str(value).encode("unicode_escape").decode("ascii")
            return text if len(text) <= LOG_LIMIT else text[:LOG_LIMIT] + "…[gekürzt]"

        stamp = datetime.datetime.now().strftime("%Y-%m-%d %H:%M:%S")
        say(f"{stamp} {self.client_address[0]} {format % tuple(bounded(a) for a in args)}")


def masked(requestline):
    """The request line with the value of each parameter that names the token
    replaced by ***, however the name is spelled ("%74oken", "TOKEN"), and
    wherever it stands, also in a request refused as malformed."""
    def mask(pair):
        return pair[1] + "=***" if unquote_plus(pair[1]).strip().casefold() == "token" else pair[0]
    return PARAMETER.sub(mask, requestline)


def say(line):
    # stdout is the server log; a lost log line must never break a request.
    try:
        print(line, flush=True)
    except (OSError, ValueError):
        pass


class ReportServer(ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self, port, token):
        self.port, self.token = port, token
        super().__init__((HOST, port), ReportHandler)

    def handle_error(self, request, client_address):
        if not isinstance(sys.exc_info()[1], ConnectionError):  # a client that hung up early is no error
            super().handle_error(request, client_address)


def write_pid_file(path):
    try:
        path.parent.mkdir(parents=True, exist_ok=True)
        write_atomically(path, f"{os.getpid()}\n".encode())
    except OSError as error:
        say(f"Warnung: PID-Datei {PID_FILE} nicht geschrieben ({error.strerror}); stop.sh sucht dann über den Port.")


def remove_pid_file(path):
    # Only our own: a newer server may have taken the file over.
    try:
        if path.read_text().strip() == str(os.getpid()):
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
    try:
        server = ReportServer(port, token)
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
    pid_file = ROOT / PID_FILE
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
