"""What the server reads from a request before it answers: the target, the
token a client shows, and the request line as it may stand in the log."""

import hashlib
import hmac
import re
from urllib.parse import unquote_plus, urlsplit

# A parameter anywhere in the line: in the query, after ";" or "/", in a fragment.
PARAMETER = re.compile(r"(?<=[?&;#/\s])([^=?&;#/\s]+)=([^&;#\s]*)")
HEX = frozenset(b"0123456789abcdefABCDEF")
DECODING_ROUNDS = 3  # "%2574" is "%74" is "t": a token may hide under more than one layer


class BadTarget(Exception):
    pass


class ForeignTarget(Exception):
    """An absolute-form target that names another server."""


def split_target(target, hosts):
    """The path and query of a request target. The absolute form
    ("http://127.0.0.1:8765/x") must name one of `hosts` (lower case
    "host:port") as well as the Host header does; a fragment is dropped."""
    if target.startswith("/"):
        path, _, query = target.partition("#")[0].partition("?")
        return path, query
    if target[:7].lower() != "http://":
        raise BadTarget()
    try:
        parts = urlsplit(target)
    except ValueError:
        raise BadTarget() from None
    if parts.netloc.lower() not in hosts:
        raise ForeignTarget()
    return parts.path or "/", parts.query


def usable_token(token):
    """A token can be shown by header only without spaces or control
    characters at either end (a header's value is trimmed), and in no header
    with control characters in it."""
    return token == token.strip() and token.isprintable()


def session_value(token):
    """The cookie value for a token: derived, so the token itself never sits
    in the browser's cookie store and needs no cookie escaping."""
    return hmac.new(token.encode("utf-8"), b"harlune-dashboard", hashlib.sha256).hexdigest()


def matches(given, token):
    """`given` as UTF-8 text (from the query) against the token."""
    return hmac.compare_digest(given.encode("utf-8", "surrogatepass"), token.encode("utf-8"))


def bearer_matches(header, token):
    """An Authorization header's value, which Python hands over as Latin-1
    text of the bytes sent, against the token's UTF-8 bytes."""
    scheme, _, given = header.strip(" \t").partition(" ")
    return scheme.lower() == "bearer" and hmac.compare_digest(
        given.strip(" \t").encode("latin-1", "replace"), token.encode("utf-8"))


def masked(line, token):
    """The request line as it may be logged: the value of any parameter
    whose name means "token" however spelled ("%74oken", "TOKEN"), and every
    occurrence of the token itself, as sent or percent-encoded in any way,
    replaced by ***."""
    def by_name(pair):
        return pair[1] + "=***" if unquote_plus(pair[1]).strip().casefold() == "token" else pair[0]
    return PARAMETER.sub(by_name, hide(line, token.encode("utf-8")) if token else line)


def hide(line, secret):
    # A request line is Latin-1 text of the bytes sent. Each unit is one
    # byte after decoding and the span of the line it came from, so a match
    # in the decoded bytes names the characters of the line to hide.
    raw = line.encode("latin-1", "replace")
    units = [(byte, i, i + 1) for i, byte in enumerate(raw)]
    hidden = []
    for _ in range(DECODING_ROUNDS):
        for plus_is_space in (False, True):
            # Only a "+" sent as such stands for a space, not one sent as "%2B".
            text = bytes(32 if plus_is_space and u[0] == 43 and u[2] - u[1] == 1 else u[0] for u in units)
            start = text.find(secret)
            while start >= 0:
                hidden.append((units[start][1], units[start + len(secret) - 1][2]))
                start = text.find(secret, start + 1)
        decoded = percent_decoded(units)
        if len(decoded) == len(units):
            break
        units = decoded
    if not hidden:
        return line
    out, position = [], 0
    for start, end in sorted(hidden):
        if end > position:
            out.append(raw[position:max(start, position)].decode("latin-1") + ("***" if start >= position else ""))
            position = end
    return "".join(out) + raw[position:].decode("latin-1")


def percent_decoded(units):
    out, i = [], 0
    while i < len(units):
        if units[i][0] == 37 and i + 2 < len(units) and units[i + 1][0] in HEX and units[i + 2][0] in HEX:
            out.append((int(bytes((units[i + 1][0], units[i + 2][0])), 16), units[i][1], units[i + 2][2]))
            i += 3
        else:
            out.append(units[i])
            i += 1
    return out
