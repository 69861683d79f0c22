# A small real report server for the tests: on the shipped port, or on the
# one a test wrote into "fixture-port".
import http.server
import os
import sys

from record import ROOT, record

# The pid first: whoever sees the run noted can stop this server.
with open(os.path.join(ROOT, 'server.pid'), 'w', encoding='utf-8') as f:
    f.write(str(os.getpid()))
record('serve')


class Handler(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        body = b'5.0.0\n' if self.path == '/api/version' else b'<h1>Buchhaltung</h1>\n'
        self.send_response(200)
        self.send_header('Content-Length', str(len(body)))
        self.end_headers()
        self.wfile.write(body)


port_file = os.path.join(ROOT, 'fixture-port')
port = int(open(port_file, encoding='utf-8').read()) if os.path.exists(port_file) else 8765
server = http.server.ThreadingHTTPServer(('127.0.0.1', port), Handler)
print(f'Server hört auf 127.0.0.1:{port}', flush=True)
print('Protokoll auf stderr', file=sys.stderr, flush=True)
server.serve_forever()
