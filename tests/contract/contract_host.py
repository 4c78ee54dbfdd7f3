#!/usr/bin/env python3
"""A host written only from the README's registry contract, independent of Quillon's
transport: lists the boards, then runs every command on the first and checks the replies.

usage: contract_host.py REGISTRY
"""
import os
import socket
import struct
import sys

registry = sys.argv[1]
names = sorted(
    (n for n in os.listdir(registry) if not n.startswith(".") and os.path.isdir(os.path.join(registry, n))),
    key=os.fsencode,
)
if not names:
    sys.exit("no board listed")
board = os.path.join(registry, names[0])


def session():
    read_pipe = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    read_pipe.connect(os.path.join(board, "PIPE01"))
    write_pipe = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    write_pipe.connect(os.path.join(board, "PIPE00"))
    read_pipe.settimeout(5)
    return read_pipe, write_pipe


def read_exact(conn, count):
    data = bytearray()
    while len(data) < count:
        chunk = conn.recv(count - len(data))
        if not chunk:
            sys.exit("the board closed the pipe")
        data += chunk
    return bytes(data)


def expect(conn, byte, step):
    got = read_exact(conn, 1)
    if got != byte:
        sys.exit(f"{step}: expected {byte!r}, got {got!r}")


image = bytes((i * 7 + 3) & 0xFF for i in range(70000))

r, w = session()
w.sendall(b"v")
banner = read_exact(r, 14)
print("version:", banner.split(b"\0")[0].decode())
r.close(), w.close()

r, w = session()
w.sendall(b"s")
expect(r, b">", "send")
w.sendall(struct.pack("<I", len(image)))
expect(r, b">", "send length")
w.sendall(image)
expect(r, b"#", "send data")
r.close(), w.close()

r, w = session()
w.sendall(b"R")
expect(r, b">", "receive")
w.sendall(struct.pack("<I", len(image) + 10))
expect(r, b">", "receive length")
back = read_exact(r, len(image) + 10)
expect(r, b"#", "receive data")
if back != image + bytes(10):
    sys.exit("the block read back differs from the one sent")
r.close(), w.close()

r, w = session()
w.sendall(b"x")
expect(r, b"#", "execute")
r.close(), w.close()
print(f"{os.path.basename(board)}: version, send, receive and execute as the contract says")
