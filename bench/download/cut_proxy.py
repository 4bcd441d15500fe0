#!/usr/bin/env python3
"""A TCP proxy on 127.0.0.1 that cuts downloads once, for the download benchmark.

    cut_proxy.py UPSTREAM_PORT CUT_AFTER_BYTES PORT_FILE [LIFETIME_SECONDS [MAX_CUTS]]

Forwards every connection to 127.0.0.1:UPSTREAM_PORT. A request without a
Range header (a download from its start) has its connection closed after
CUT_AFTER_BYTES bytes of the answer; a request with one (a resume) passes
whole. CUT_AFTER_BYTES 0 never cuts, so the same proxy serves the uncut runs.
The chosen port is written to PORT_FILE. The proxy ends by itself after
LIFETIME_SECONDS (default 1800). With MAX_CUTS it cuts only that many
downloads and lets every later one pass whole (the tests use 1).
"""

import os
import socket
import sys
import threading

BUFFER = 1024 * 1024


def pipe(source, target):
    """Client to upstream: the request and anything after it."""
    try:
        while True:
            data = source.recv(BUFFER)
            if not data:
                break
            target.sendall(data)
    except OSError:
        pass
    finally:
        try:
            target.shutdown(socket.SHUT_WR)
        except OSError:
            pass


CUTS_LEFT = [-1]  # -1: no bound
CUTS_LOCK = threading.Lock()


def take_cut():
    with CUTS_LOCK:
        if CUTS_LEFT[0] == 0:
            return False
        if CUTS_LEFT[0] > 0:
            CUTS_LEFT[0] -= 1
        return True


def serve(client, upstream_port, cut_after):
    try:
        upstream = socket.create_connection(("127.0.0.1", upstream_port))
    except OSError:
        client.close()
        return
    try:
        head = b""
        while b"\r\n\r\n" not in head:
            data = client.recv(BUFFER)
            if not data:
                return
            head += data
        upstream.sendall(head)
        resumed = any(line.lower().startswith(b"range:") for line in head.split(b"\r\n"))
        limit = cut_after if cut_after > 0 and not resumed and take_cut() else -1
        threading.Thread(target=pipe, args=(client, upstream), daemon=True).start()
        sent = 0
        while limit < 0 or sent < limit:
            want = BUFFER if limit < 0 else min(BUFFER, limit - sent)
            data = upstream.recv(want)
            if not data:
                return
            client.sendall(data)
            sent += len(data)
        print(f"cut a download after {sent} bytes", file=sys.stderr, flush=True)
    except OSError:
        pass
    finally:
        # shutdown, not just close: the other thread still sits in recv on
        # these sockets, which would keep them open without a FIN.
        for sock in (client, upstream):
            try:
                sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            sock.close()


def main():
    upstream_port, cut_after, port_file = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
    lifetime = float(sys.argv[4]) if len(sys.argv) > 4 else 1800.0
    if len(sys.argv) > 5:
        CUTS_LEFT[0] = int(sys.argv[5])
    timer = threading.Timer(lifetime, lambda: os._exit(0))
    timer.daemon = True
    timer.start()

    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(16)
    with open(port_file + ".tmp", "w") as out:
        out.write(str(listener.getsockname()[1]))
    os.replace(port_file + ".tmp", port_file)
    while True:
        client, _ = listener.accept()
        threading.Thread(target=serve, args=(client, upstream_port, cut_after), daemon=True).start()


if __name__ == "__main__":
    main()
