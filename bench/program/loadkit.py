#!/usr/bin/env python3
"""Loopback load and inputs for the whole-program benchmark (run.sh).

  loadkit.py pairs ADDRESS PORT N
      Listens on ADDRESS:PORT, opens N connections to it and holds both ends of each
      (2 N + 1 rows in the TCP table). Prints "ready ROWS" when all are established, then
      waits until killed.

  loadkit.py trials ADDRESS PORT COUNT
      COUNT times, after a random pause of up to one refresh period (250 ms) so that the
      trials fall at every phase of the program's timer: connects to ADDRESS:PORT (a
      listener of its own) and measures how long the connection lives until it is aborted.
      Prints one line per trial and a summary line "trials N cut C p50 MS p95 MS max MS".

  loadkit.py rules FILE N
      Writes a .reg file with N deny rules under the product key's \\block\\ip.

  loadkit.py log FILE N
      Writes an event log of N records (GBK, CR LF), as the program writes them.

Only addresses in 127.0.0.0/8 are used for traffic.
"""

import ipaddress
import random
import resource
import signal
import socket
import statistics
import sys
import threading
import time

PRODUCT_KEY = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Larkspire Works\\LarkPF"


def loopback(address):
    if ipaddress.ip_address(address) not in ipaddress.ip_network("127.0.0.0/8"):
        sys.exit(f"loadkit: {address} is not a loopback address")
    return address


def say(text):
    print(text, flush=True)


def raise_file_limit(need):
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft < need:
        resource.setrlimit(resource.RLIMIT_NOFILE, (max(need, soft), max(need, hard)))


def pairs(address, port, n):
    raise_file_limit(2 * n + 64)
    server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    server.bind((loopback(address), port))
    server.listen(4096)
    held = []
    accepted = []

    def accept_all():
        for _ in range(n):
            accepted.append(server.accept()[0])

    acceptor = threading.Thread(target=accept_all, daemon=True)
    acceptor.start()
    for _ in range(n):
        held.append(socket.create_connection((address, port), timeout=10))
    acceptor.join(60)
    if len(accepted) != n:
        sys.exit(f"loadkit: only {len(accepted)} of {n} connections accepted")
    say(f"ready {2 * n + 1}")
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    while True:
        signal.pause()


def trials(address, port, count):
    server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    server.bind((loopback(address), port))
    server.listen(128)

    # The listener's ends stay open: only the cut may end a trial's connection.
    kept = []

    def accept_and_keep():
        while True:
            kept.append(server.accept()[0])

    threading.Thread(target=accept_and_keep, daemon=True).start()
    times = []
    failures = 0
    for i in range(count):
        time.sleep(random.uniform(0, 0.25))
        sock = socket.create_connection((address, port), timeout=5)
        start = time.monotonic()
        sock.settimeout(5)
        outcome = "open"
        try:
            data = sock.recv(1)
            outcome = "closed" if not data else "data"
        except ConnectionAbortedError:
            outcome = "aborted"
        except ConnectionResetError:
            outcome = "reset"
        except socket.timeout:
            outcome = "open"
        ms = (time.monotonic() - start) * 1000
        sock.close()
        if outcome == "aborted":
            times.append(ms)
        else:
            failures += 1
        say(f"trial {i + 1} {outcome} {ms:.1f}")
    if times:
        times.sort()
        p95 = times[min(len(times) - 1, int(round(0.95 * len(times))) - 1)]
        say(f"trials {count} cut {len(times)} p50 {statistics.median(times):.1f} "
            f"p95 {p95:.1f} max {times[-1]:.1f}")
    else:
        say(f"trials {count} cut 0")


def rules(path, n):
    with open(path, "w", encoding="utf-8", newline="\r\n") as f:
        f.write("Windows Registry Editor Version 5.00\n\n")
        f.write(f"[{PRODUCT_KEY}\\block\\ip]\n")
        for i in range(n):
            # Addresses of the 10.0.0.0/8 range as rule names only; nothing is sent there.
            f.write(f'"10.{(i >> 16) & 255}.{(i >> 8) & 255}.{i & 255}"="1"\n')


def log(path, n):
    actions = ["已断开连接", "拒绝IP连接", "允许连接", "禁止远程端口连接"]
    with open(path, "wb") as f:
        for i in range(n):
            h, m, s = (i // 3600) % 24, (i // 60) % 60, i % 60
            line = (f'"{h}:{m:02}:{s:02}-2024-5-{1 + i % 28}","127.0.{(i >> 8) & 255}.{i & 255}",'
                    f'"{1024 + i % 60000}","{80 + i % 7}","{actions[i % len(actions)]}"\r\n')
            f.write(line.encode("gbk"))


def main(argv):
    if len(argv) == 5 and argv[1] == "pairs":
        pairs(argv[2], int(argv[3]), int(argv[4]))
    elif len(argv) == 5 and argv[1] == "trials":
        trials(argv[2], int(argv[3]), int(argv[4]))
    elif len(argv) == 4 and argv[1] == "rules":
        rules(argv[2], int(argv[3]))
    elif len(argv) == 4 and argv[1] == "log":
        log(argv[2], int(argv[3]))
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main(sys.argv)
