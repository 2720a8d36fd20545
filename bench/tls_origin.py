#!/usr/bin/python3
"""A loopback TLS origin for bench/tls_transfer: one object of random bytes, served over HTTP/2
or HTTP/1.1, whichever the client takes up in ALPN (both are offered, HTTP/2 first, as real
services do), and the few runtime API answers a player needs to hold a session.

Arguments: certificate file, key file, object size in bytes, object path. Prints the port and
the object's SHA-256 on one line once it listens; ends when its standard input closes.
Needs Debian's python3-h2.
"""
import datetime
import hashlib
import json
import os
import socket
import ssl
import sys
import threading

import h2.config
import h2.connection
import h2.events
import h2.exceptions

CHUNK = 1 << 20


def iso(moment):
    return moment.strftime("%Y-%m-%dT%H:%M:%S.") + f"{moment.microsecond // 1000:03d}Z"


def api_answer(method, route):
    """Status and JSON body for a runtime API request; None for a stream held open."""
    now = datetime.datetime.now(datetime.timezone.utc)
    if method == "POST" and route == "/runtime/v1/native/identity/challenges":
        later = now + datetime.timedelta(seconds=60)
        return 201, {"nonce": "A" * 43, "expires_at": iso(later), "server_time": iso(now)}
    if method == "POST" and route == "/runtime/v1/native/sessions":
        return 200, {"session": "tvs_bench", "expires_at": "2099-01-01T00:00:00.000Z"}
    if method == "GET" and route.endswith("/manifest"):
        return 304, None
    if method == "GET" and route == "/runtime/v1/events":
        return None
    return 200, {}


def serve_http1(tls, body, path):
    buffered = b""
    while True:
        while b"\r\n\r\n" not in buffered:
            received = tls.recv(65536)
            if not received:
                return
            buffered += received
        head, buffered = buffered.split(b"\r\n\r\n", 1)
        lines = head.decode("latin-1").split("\r\n")
        method, target = lines[0].split(" ")[:2]
        headers = {}
        for line in lines[1:]:
            name, _, value = line.partition(":")
            headers[name.strip().lower()] = value.strip()
        length = int(headers.get("content-length", "0"))
        while len(buffered) < length:
            received = tls.recv(65536)
            if not received:
                return
            buffered += received
        buffered = buffered[length:]
        route = target.split("?")[0]
        if method == "GET" and route == path:
            tls.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n"
                        b"Content-Length: %d\r\n\r\n" % len(body))
            view = memoryview(body)
            for offset in range(0, len(body), CHUNK):
                tls.sendall(view[offset:offset + CHUNK])
            continue
        answer = api_answer(method, route)
        if answer is None:
            tls.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\n\r\n")
            while tls.recv(65536):
                pass
            return
        status, document = answer
        payload = b"" if document is None else json.dumps(document).encode()
        tls.sendall(b"HTTP/1.1 %d Status\r\nContent-Type: application/json\r\n"
                    b"Content-Length: %d\r\n\r\n" % (status, len(payload)) + payload)


def serve_h2(tls, body, path):
    connection = h2.connection.H2Connection(
        config=h2.config.H2Configuration(client_side=False, header_encoding="utf-8"))
    connection.initiate_connection()
    tls.sendall(connection.data_to_send())
    sending = {}  # stream -> offset of the object still to send
    while True:
        received = tls.recv(65536)
        if not received:
            return
        for event in connection.receive_data(received):
            if isinstance(event, h2.events.RequestReceived):
                stream = event.stream_id
                if dict(event.headers).get(":path", "").split("?")[0] == path:
                    connection.send_headers(stream, [
                        (":status", "200"), ("content-type", "application/octet-stream"),
                        ("content-length", str(len(body)))])
                    sending[stream] = 0
                else:
                    connection.send_headers(stream, [(":status", "404")], end_stream=True)
            elif isinstance(event, h2.events.StreamReset):
                sending.pop(event.stream_id, None)
            elif isinstance(event, h2.events.ConnectionTerminated):
                return
        # As much as the client's flow-control windows allow: a client that keeps granting
        # credit gets everything at once.
        for stream, offset in list(sending.items()):
            while offset < len(body):
                room = min(connection.local_flow_control_window(stream),
                           connection.max_outbound_frame_size, len(body) - offset)
                if room <= 0:
                    break
                connection.send_data(stream, body[offset:offset + room],
                                     end_stream=offset + room == len(body))
                offset += room
                tls.sendall(connection.data_to_send())
            sending[stream] = offset
            if offset == len(body):
                del sending[stream]
        tls.sendall(connection.data_to_send())


def serve(context, raw, body, path):
    try:
        with context.wrap_socket(raw, server_side=True) as tls:
            if tls.selected_alpn_protocol() == "h2":
                serve_h2(tls, body, path)
            else:
                serve_http1(tls, body, path)
    except (OSError, ssl.SSLError, h2.exceptions.ProtocolError):
        pass


def main():
    certificate, key, size, path = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]
    body = os.urandom(size)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(certificate, key)
    context.set_alpn_protocols(["h2", "http/1.1"])
    listener = socket.create_server(("127.0.0.1", 0))
    print(listener.getsockname()[1], hashlib.sha256(body).hexdigest(), flush=True)

    def end_with_parent():
        sys.stdin.read()
        os._exit(0)

    threading.Thread(target=end_with_parent, daemon=True).start()
    while True:
        raw, _ = listener.accept()
        threading.Thread(target=serve, args=(context, raw, body, path), daemon=True).start()


if __name__ == "__main__":
    main()
