#!/usr/bin/env python3
"""Peers for relay-bench.sh on 127.0.0.1.

  peer.py port                  print a port that is free now
  peer.py sink PORT             printer: read every connection to its end,
                                print its byte count
  peer.py client PORT FILE      send FILE, finish, read to the end; print the
                                seconds from connected to closed
"""
import socket
import sys
import time


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        print(s.getsockname()[1])


def sink(port):
    server = socket.socket()
    server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    server.bind(("127.0.0.1", port))
    server.listen(8)
    buffer = bytearray(1 << 16)
    while True:
        conn, _ = server.accept()
        total = 0
        try:
            while True:
                n = conn.recv_into(buffer)
                if n == 0:
                    break
                total += n
        except ConnectionError:
            pass
        print(total, flush=True)  # before the close that ends the job
        conn.close()


def client(port, path):
    deadline = time.monotonic() + 10
    while True:
        try:
            conn = socket.create_connection(("127.0.0.1", port))
            break
        except ConnectionRefusedError:
            if time.monotonic() > deadline:
                raise
            time.sleep(0.005)
    start = time.monotonic()
    with open(path, "rb") as job:
        conn.sendfile(job)
    conn.shutdown(socket.SHUT_WR)
    while conn.recv(1 << 16):
        pass
    elapsed = time.monotonic() - start
    conn.close()
    print(f"{elapsed:.6f}")


if __name__ == "__main__":
    if sys.argv[1] == "port":
        free_port()
    elif sys.argv[1] == "sink":
        sink(int(sys.argv[2]))
    elif sys.argv[1] == "client":
        client(int(sys.argv[2]), sys.argv[3])
    else:
        sys.exit(__doc__)
