#!/usr/bin/env python3
"""Loopback connections for the enforcement benchmark (run.sh).

  enforcekit.py trials ADDRESS PORT COUNT GAP_MS
      Listens on ADDRESS:PORT (accepting and keeping every connection), then opens COUNT
      connections to it, one every GAP_MS on average (a random gap between 0 and twice
      GAP_MS, so that the trials fall at every phase of the program's timer), and times each
      one from the start of its connect() to the error that ends it: the connect refused
      (EPERM), or the connection aborted or reset afterwards. Trials overlap when an end takes
      longer than the gap. Prints "trials N refused R aborted A reset X open O p50 MS p95 MS
      max MS" (the times of the ended ones).

  enforcekit.py preconnect ADDRESS PORT COUNT
      Listens on ADDRESS:PORT, then makes COUNT connects to it one after the other (a
      connection that opens is closed at once with a reset) and counts the bytes lo carried
      meanwhile, from this network namespace's /proc/net/dev. Prints "preconnect N refused R
      bytes B packets P connect_p50 US connect_p95 US connect_max US".

  enforcekit.py loop ADDRESS PORT COUNT
      Listens on ADDRESS:PORT, then COUNT times connects, accepts and closes both ends (the
      client's with a reset, so that no TIME_WAIT row stays). Prints "loop N seconds S rate R".

  enforcekit.py timewait ADDRESS PORT COUNT
      Leaves COUNT TIME_WAIT rows: COUNT connections whose client closes first.

Only addresses in 127.0.0.0/8 are used.
"""

import errno
import os
import random
import selectors
import socket
import statistics
import struct
import sys
import time

# The program benchmark's load kit keeps every address on loopback and prints at once.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "program"))
from loadkit import loopback, say  # noqa: E402

LINGER_RESET = struct.pack("ii", 1, 0)


def listener(address, port):
    server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    server.bind((loopback(address), port))
    server.listen(4096)
    return server


def percentile(values, p):
    values = sorted(values)
    return values[min(len(values) - 1, max(0, int(round(p * len(values))) - 1))]


def trials(address, port, count, gap_ms):
    server = listener(address, port)
    server.setblocking(False)
    sel = selectors.DefaultSelector()
    sel.register(server, selectors.EVENT_READ, None)
    kept = []
    times = []
    outcomes = {"refused": 0, "aborted": 0, "reset": 0, "closed": 0, "open": 0}
    started = 0
    live = {}  # socket -> start time
    next_start = time.perf_counter()
    give_up = 5.0
    while started < count or live:
        now = time.perf_counter()
        if started < count and now >= next_start:
            sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            t0 = time.perf_counter()
            try:
                sock.connect((address, port))
            except PermissionError:
                times.append((time.perf_counter() - t0) * 1000)
                outcomes["refused"] += 1
                sock.close()
            except (ConnectionResetError, ConnectionAbortedError, ConnectionRefusedError):
                times.append((time.perf_counter() - t0) * 1000)
                outcomes["reset"] += 1
                sock.close()
            else:
                sock.setblocking(False)
                sel.register(sock, selectors.EVENT_READ, t0)
                live[sock] = t0
            started += 1
            next_start += random.uniform(0, 2 * gap_ms / 1000)
            continue
        wait = max(0.0, next_start - now) if started < count else 0.05
        for key, _ in sel.select(min(wait, 0.05)):
            if key.data is None:
                try:
                    while True:
                        conn, _ = server.accept()
                        kept.append(conn)
                except BlockingIOError:
                    pass
                continue
            sock = key.fileobj
            t0 = key.data
            try:
                data = sock.recv(1)
                outcome = "closed" if not data else "open"
            except ConnectionAbortedError:
                outcome = "aborted"
            except ConnectionResetError:
                outcome = "reset"
            except BlockingIOError:
                continue
            times.append((time.perf_counter() - t0) * 1000)
            outcomes[outcome] += 1
            sel.unregister(sock)
            del live[sock]
            sock.close()
        now = time.perf_counter()
        for sock, t0 in list(live.items()):
            if now - t0 > give_up:
                outcomes["open"] += 1
                sel.unregister(sock)
                del live[sock]
                sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, LINGER_RESET)
                sock.close()
    line = (f"trials {count} refused {outcomes['refused']} aborted {outcomes['aborted']} "
            f"reset {outcomes['reset']} closed {outcomes['closed']} open {outcomes['open']}")
    if times:
        line += (f" p50 {statistics.median(times):.2f} p95 {percentile(times, 0.95):.2f}"
                 f" max {max(times):.2f}")
    say(line)


def lo_counters():
    with open("/proc/net/dev") as f:
        for line in f:
            name, _, rest = line.partition(":")
            if name.strip() == "lo":
                fields = rest.split()
                return int(fields[8]), int(fields[9])  # transmitted bytes, packets
    sys.exit("enforcekit: no lo in /proc/net/dev")


def preconnect(address, port, count):
    server = listener(address, port)
    server.setblocking(False)
    times = []
    refused = 0
    bytes0, packets0 = lo_counters()
    for _ in range(count):
        sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        t0 = time.perf_counter()
        try:
            sock.connect((address, port))
            times.append((time.perf_counter() - t0) * 1e6)
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, LINGER_RESET)
        except PermissionError:
            times.append((time.perf_counter() - t0) * 1e6)
            refused += 1
        sock.close()
        try:
            while True:
                server.accept()[0].close()
        except BlockingIOError:
            pass
    time.sleep(0.2)
    bytes1, packets1 = lo_counters()
    say(f"preconnect {count} refused {refused} bytes {bytes1 - bytes0} packets {packets1 - packets0} "
        f"connect_p50 {statistics.median(times):.1f} connect_p95 {percentile(times, 0.95):.1f} "
        f"connect_max {max(times):.1f}")


def loop(address, port, count):
    server = listener(address, port)
    t0 = time.perf_counter()
    for _ in range(count):
        client = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        client.connect((address, port))
        conn, _ = server.accept()
        client.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, LINGER_RESET)
        client.close()
        conn.close()
    seconds = time.perf_counter() - t0
    say(f"loop {count} seconds {seconds:.3f} rate {count / seconds:.0f}")


def timewait(address, port, count):
    server = listener(address, port)
    for _ in range(count):
        client = socket.create_connection((address, port))
        conn, _ = server.accept()
        client.close()
        conn.recv(1)  # the client's FIN
        conn.close()
    say(f"timewait {count}")


def main(argv):
    if len(argv) == 6 and argv[1] == "trials":
        trials(argv[2], int(argv[3]), int(argv[4]), float(argv[5]))
    elif len(argv) == 5 and argv[1] in ("preconnect", "loop", "timewait"):
        {"preconnect": preconnect, "loop": loop, "timewait": timewait}[argv[1]](
            argv[2], int(argv[3]), int(argv[4]))
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main(sys.argv)
