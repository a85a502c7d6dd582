#!/usr/bin/env python3
"""Peers for relay-bench.sh on 127.0.0.1.

  peer.py port                  print a port that is free now
  peer.py sink PORT [pjl]       printer: read every connection to its end,
                                print its byte count; with pjl, answer each
                                "@PJL EOJ NAME=" with a USTATUS JOB END
  peer.py client PORT FILE      send FILE, finish, read to the end; print the
                                seconds from connected to closed
  peer.py jobs PORT FILE N      send FILE as N jobs one after the other, each
                                read to the end; print the jobs per second
"""
import socket
import sys
import time


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        print(s.getsockname()[1])


def sink(port, pjl=False):
    server = socket.socket()
    server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    server.bind(("127.0.0.1", port))
    server.listen(8)
    buffer = bytearray(1 << 16)
    eoj = b'@PJL EOJ NAME="'
    while True:
        conn, _ = server.accept()
        total = 0
        tail = b""
        try:
            while True:
                n = conn.recv_into(buffer)
                if n == 0:
                    break
                total += n
                if pjl:
                    seen = tail + bytes(buffer[:n])
                    at = seen.find(eoj)
                    while at >= 0 and seen.find(b'"', at + len(eoj)) >= 0:
                        end = seen.find(b'"', at + len(eoj))
                        name = seen[at + len(eoj):end]
                        conn.sendall(b"@PJL USTATUS JOB\r\nEND\r\nNAME=\"" + name +
                                     b"\"\r\nPAGES=1\r\nRESULT=OK\r\n\f")
                        seen = seen[end:]
                        at = seen.find(eoj)
                    tail = seen[-64:]
        except ConnectionError:
            pass
        print(total, flush=True)  # before the close that ends the job
        conn.close()


def connect(port):
    deadline = time.monotonic() + 10
    while True:
        try:
            return socket.create_connection(("127.0.0.1", port))
        except ConnectionRefusedError:
            if time.monotonic() > deadline:
                raise
            time.sleep(0.005)


def send_job(conn, data):
    conn.sendall(data)
    conn.shutdown(socket.SHUT_WR)
    while conn.recv(1 << 16):
        pass
    conn.close()


def client(port, path):
    conn = connect(port)
    start = time.monotonic()
    with open(path, "rb") as job:
        conn.sendfile(job)
    conn.shutdown(socket.SHUT_WR)
    while conn.recv(1 << 16):
        pass
    elapsed = time.monotonic() - start
    conn.close()
    print(f"{elapsed:.6f}")


def jobs(port, path, count):
    with open(path, "rb") as job:
        data = job.read()
    send_job(connect(port), data)  # the first job waits for the daemon to listen
    start = time.monotonic()
    for _ in range(count):
        send_job(connect(port), data)
    print(f"{count / (time.monotonic() - start):.1f}")


if __name__ == "__main__":
    if sys.argv[1] == "port":
        free_port()
    elif sys.argv[1] == "sink":
        sink(int(sys.argv[2]), len(sys.argv) > 3 and sys.argv[3] == "pjl")
    elif sys.argv[1] == "client":
        client(int(sys.argv[2]), sys.argv[3])
    elif sys.argv[1] == "jobs":
        jobs(int(sys.argv[2]), sys.argv[3], int(sys.argv[4]))
    else:
        sys.exit(__doc__)
