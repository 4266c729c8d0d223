#!/usr/bin/env python3
"""Loopback TCP endpoints for the end-to-end tests and the whole-program benchmark.

  tcpkit.py listen ADDRESS PORT
      Listens on ADDRESS:PORT, accepts every connection and keeps it open until killed.
      Prints "listening PORT" once it listens.

  tcpkit.py connect ADDRESS PORT WAIT
      Connects to ADDRESS:PORT, prints "connected LOCALPORT", then waits up to WAIT seconds
      for the connection to end and prints how it ended, with the milliseconds since it
      was connected: "aborted MS" (cut: ECONNABORTED), "reset MS", "closed MS" (orderly end
      from the peer) or "open MS" (still open when the wait ran out).

Only addresses in 127.0.0.0/8 are accepted: these tools never send traffic anywhere else.
"""

import errno
import ipaddress
import signal
import socket
import sys
import time


def loopback(address):
    if ipaddress.ip_address(address) not in ipaddress.ip_network("127.0.0.0/8"):
        sys.exit(f"tcpkit: {address} is not a loopback address")
    return address


def say(text):
    print(text, flush=True)


def listen(address, port):
    server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    server.bind((loopback(address), port))
    server.listen(1024)
    say(f"listening {server.getsockname()[1]}")
    held = []
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    while True:
        conn, _ = server.accept()
        held.append(conn)


def connect(address, port, wait):
    sock = socket.create_connection((loopback(address), port), timeout=5)
    start = time.monotonic()
    say(f"connected {sock.getsockname()[1]}")
    deadline = start + wait
    outcome = "open"
    while True:
        remaining = deadline - time.monotonic()
        if remaining <= 0:
            break
        sock.settimeout(remaining)
        try:
            data = sock.recv(4096)
        except socket.timeout:
            break
        except ConnectionAbortedError:
            outcome = "aborted"
            break
        except ConnectionResetError:
            outcome = "reset"
            break
        except OSError as e:
            outcome = errno.errorcode.get(e.errno, str(e.errno)).lower()
            break
        if not data:
            outcome = "closed"
            break
    say(f"{outcome} {round((time.monotonic() - start) * 1000)}")
    sock.close()


def main(argv):
    if len(argv) == 4 and argv[1] == "listen":
        listen(argv[2], int(argv[3]))
    elif len(argv) == 5 and argv[1] == "connect":
        connect(argv[2], int(argv[3]), float(argv[4]))
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main(sys.argv)
