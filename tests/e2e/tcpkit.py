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

  tcpkit.py fan FIRST COUNT PORT WAIT
      Listens on PORT of COUNT consecutive addresses from FIRST, opens one connection to
      each at once, then waits up to WAIT seconds for them to end and prints one line per
      connection: "ADDRESS aborted|reset|closed|open MS", as connect does, or "ADDRESS
      refused 0" for a connect refused before it connected.

  tcpkit.py churn ADDRESS PORT COUNT
      Listens on ADDRESS:PORT and keeps COUNT connections to it open, closing the oldest and
      opening a new one every 50 ms until killed, so that the TCP table changes at every
      tick of a watcher. Prints "churning" once the first COUNT are open.

Only the loopback addresses 127.0.0.0/8 and ::1 are accepted: these tools never send traffic
anywhere else.
"""

import errno
import ipaddress
import selectors
import signal
import socket
import sys
import time


def loopback(address):
    ip = ipaddress.ip_address(address)
    if ip != ipaddress.ip_address("::1") and ip not in ipaddress.ip_network("127.0.0.0/8"):
        sys.exit(f"tcpkit: {address} is not a loopback address")
    return address


def family(address):
    return socket.AF_INET6 if ipaddress.ip_address(address).version == 6 else socket.AF_INET


def say(text):
    print(text, flush=True)


def listen(address, port):
    server = socket.socket(family(address), socket.SOCK_STREAM)
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
    target = loopback(address)
    family = socket.AF_INET6 if ":" in target else socket.AF_INET
    sock = socket.socket(family, socket.SOCK_STREAM)
    # The local port is taken before connecting, so that it is known even when the firewall
    # cuts the connection before connect() returns (a busy machine may run a whole tick
    # between the handshake and this process's return from the call).
    sock.bind(("::" if family == socket.AF_INET6 else "0.0.0.0", 0))
    sock.settimeout(5)
    start = time.monotonic()
    try:
        sock.connect((target, port))
    except ConnectionAbortedError:
        say(f"connected {sock.getsockname()[1]}")
        say(f"aborted {round((time.monotonic() - start) * 1000)}")
        sock.close()
        return
    except PermissionError:
        # Refused before it connected: nothing was sent.
        say(f"refused {sock.getsockname()[1]} {round((time.monotonic() - start) * 1000)}")
        sock.close()
        return
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


def fan(first, count, port, wait):
    addresses = [str(ipaddress.ip_address(first) + i) for i in range(count)]
    servers = []
    for address in addresses:
        server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        server.bind((loopback(address), port))
        server.listen(16)
        servers.append(server)
    clients = {}
    held = []
    sel = selectors.DefaultSelector()
    refused = []
    for address, server in zip(addresses, servers):
        try:
            sock = socket.create_connection((address, port), timeout=5)
        except PermissionError:
            refused.append(address)  # refused before it connected
            continue
        held.append(server.accept()[0])
        sock.setblocking(False)
        clients[sock] = [address, time.monotonic(), None]
        sel.register(sock, selectors.EVENT_READ)
    deadline = time.monotonic() + wait
    while any(c[2] is None for c in clients.values()):
        remaining = deadline - time.monotonic()
        if remaining <= 0:
            break
        for key, _ in sel.select(remaining):
            entry = clients[key.fileobj]
            try:
                data = key.fileobj.recv(4096)
                outcome = "closed" if not data else None
            except ConnectionAbortedError:
                outcome = "aborted"
            except ConnectionResetError:
                outcome = "reset"
            except BlockingIOError:
                outcome = None
            except OSError as e:
                outcome = errno.errorcode.get(e.errno, str(e.errno)).lower()
            if outcome:
                entry[2] = f"{outcome} {round((time.monotonic() - entry[1]) * 1000)}"
                sel.unregister(key.fileobj)
    for sock, (address, start, outcome) in clients.items():
        say(f"{address} {outcome or 'open %d' % round((time.monotonic() - start) * 1000)}")
        sock.close()
    for address in refused:
        say(f"{address} refused 0")


def churn(address, port, count):
    server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    server.bind((loopback(address), port))
    server.listen(1024)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    pairs = []

    def open_one():
        client = socket.create_connection((address, port), timeout=5)
        pairs.append((client, server.accept()[0]))

    for _ in range(count):
        open_one()
    say("churning")
    while True:
        time.sleep(0.05)
        for sock in pairs.pop(0):
            sock.close()
        open_one()


def main(argv):
    if len(argv) == 4 and argv[1] == "listen":
        listen(argv[2], int(argv[3]))
    elif len(argv) == 5 and argv[1] == "connect":
        connect(argv[2], int(argv[3]), float(argv[4]))
    elif len(argv) == 5 and argv[1] == "churn":
        churn(argv[2], int(argv[3]), int(argv[4]))
    elif len(argv) == 6 and argv[1] == "fan":
        fan(argv[2], int(argv[3]), int(argv[4]), float(argv[5]))
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main(sys.argv)
