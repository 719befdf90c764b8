#!/usr/bin/python3
"""Plain HTTP requests in clear and over TLS, checked against the replies the
server must give.

    http_peer.py PORT CA_FILE ALLOWED_ORIGIN
"""
import base64
import hashlib
import socket
import ssl
import sys

PAGE = b"Krevlo Bridge is running. You can close this tab.\n"
KEY = "dGhlIHNhbXBsZSBub25jZQ=="
GUID = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11"


def exchange(port, ca_file, tls, request):
    sock = socket.create_connection(("127.0.0.1", port), timeout=20)
    if tls:
        ctx = ssl.create_default_context(cafile=ca_file)
        sock = ctx.wrap_socket(sock, server_hostname="127.0.0.1")
    sock.sendall(request.encode())
    data = b""
    while True:
        try:
            chunk = sock.recv(65536)
        except ssl.SSLError:
            break
        if not chunk:
            break
        data += chunk
        if request.startswith("GET /v1") and b"\r\n\r\n" in data and b" 101 " in data.split(b"\r\n")[0]:
            break
    sock.close()
    return data


def main():
    port, ca_file, origin = int(sys.argv[1]), sys.argv[2], sys.argv[3]
    host = f"127.0.0.1:{port}"
    ws = f"Upgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: {KEY}\r\nSec-WebSocket-Version: 13\r\n"
    cases = [
        # (name, tls, request, status line, body)
        ("page over TLS", True, f"GET / HTTP/1.1\r\nHost: {host}\r\n\r\n", "HTTP/1.1 200 OK", PAGE),
        ("page by name", True, f"GET /?a=b HTTP/1.1\r\nHost: LOCALHOST:{port}\r\n\r\n", "HTTP/1.1 200 OK", PAGE),
        ("page in clear", False, f"GET / HTTP/1.1\r\nHost: {host}\r\n\r\n", "HTTP/1.1 404 Not Found", b""),
        ("page with upgrade", True, f"GET / HTTP/1.1\r\nHost: {host}\r\n{ws}\r\n", "HTTP/1.1 404 Not Found", b""),
        ("wrong host", True, f"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", "HTTP/1.1 421 Misdirected Request", b""),
        ("wrong port", False, f"PUT /v1 HTTP/1.1\r\nHost: localhost:1\r\n\r\n", "HTTP/1.1 421 Misdirected Request", b""),
        ("post", False, f"POST /v1 HTTP/1.1\r\nHost: {host}\r\nContent-Length: 0\r\n\r\n",
         "HTTP/1.1 405 Method Not Allowed", b""),
        ("unknown path", True, f"GET /v2 HTTP/1.1\r\nHost: {host}\r\n{ws}Origin: {origin}\r\n\r\n",
         "HTTP/1.1 404 Not Found", b""),
        ("no origin", False, f"GET /v1 HTTP/1.1\r\nHost: {host}\r\n{ws}\r\n", "HTTP/1.1 403 Forbidden", b""),
        ("foreign origin", True, f"GET /v1 HTTP/1.1\r\nHost: {host}\r\n{ws}Origin: https://evil.example\r\n\r\n",
         "HTTP/1.1 403 Forbidden", b""),
    ]
    failed = False
    for name, tls, request, status, body in cases:
        reply = exchange(port, ca_file, tls, request)
        head, _, got_body = reply.partition(b"\r\n\r\n")
        lines = head.decode(errors="replace").split("\r\n")
        expected_headers = ["Content-Type: text/plain", f"Content-Length: {len(body)}", "Connection: close"]
        if lines[0] != status or lines[1:] != expected_headers or got_body != body:
            print(f"http_peer: {name}: got {reply!r}", file=sys.stderr)
            failed = True

    accept = base64.b64encode(hashlib.sha1((KEY + GUID).encode()).digest()).decode()
    for tls in (False, True):
        reply = exchange(port, ca_file, tls, f"GET /v1?x=1 HTTP/1.1\r\nHost: {host}\r\n{ws}Origin: {origin}\r\n\r\n")
        expected = ("HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                    f"Sec-WebSocket-Accept: {accept}\r\n\r\n").encode()
        if not reply.startswith(expected):
            print(f"http_peer: upgrade (tls={tls}): got {reply!r}", file=sys.stderr)
            failed = True
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
