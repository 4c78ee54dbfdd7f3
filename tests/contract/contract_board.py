#!/usr/bin/env python3
"""A virtual Plinth board written only from the README's registry contract, independent of
quillon-board: proves that the contract alone is enough to stand in for a board.

usage: contract_board.py REGISTRY NAME IMAGE_OUT
Serves one host at a time; writes each received image to IMAGE_OUT; prints "ready" once listed.
"""
import os
import signal
import socket
import struct
import sys

registry, name, image_out = sys.argv[1:4]
os.makedirs(registry, mode=0o700, exist_ok=True)
hidden = os.path.join(registry, f".{name}.{os.getpid()}")
final = os.path.join(registry, name)
os.mkdir(hidden, 0o700)
with open(os.path.join(hidden, "description"), "w") as f:
    f.write("Contract board (python)\n")
listeners = {}
for pipe in ("PIPE00", "PIPE01"):
    s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    s.bind(os.path.join(hidden, pipe))
    s.listen(4)
    listeners[pipe] = s
os.rename(hidden, final)


def detach(*_):
    gone = os.path.join(registry, f".{name}.gone.{os.getpid()}")
    os.rename(final, gone)
    for pipe in listeners:
        os.unlink(os.path.join(gone, pipe))
    os.unlink(os.path.join(gone, "description"))
    os.rmdir(gone)
    sys.exit(0)


signal.signal(signal.SIGTERM, detach)
print("ready", flush=True)

memory = b""


def read_exact(conn, count):
    data = bytearray()
    while len(data) < count:
        chunk = conn.recv(min(count - len(data), 1 << 20))
        if not chunk:
            raise EOFError
        data += chunk
    return bytes(data)


while True:
    # The host connects PIPE01 then PIPE00 for every command and closes both afterwards.
    read_pipe, _ = listeners["PIPE01"].accept()
    write_pipe, _ = listeners["PIPE00"].accept()
    try:
        while True:
            command = read_exact(write_pipe, 1)
            if command == b"s":
                read_pipe.sendall(b">")
                (length,) = struct.unpack("<I", read_exact(write_pipe, 4))
                read_pipe.sendall(b">")
                memory = read_exact(write_pipe, length)
                with open(image_out + ".part", "wb") as f:
                    f.write(memory)
                os.rename(image_out + ".part", image_out)
                read_pipe.sendall(b"#")
            elif command == b"R":
                read_pipe.sendall(b">")
                (length,) = struct.unpack("<I", read_exact(write_pipe, 4))
                read_pipe.sendall(b">")
                read_pipe.sendall(memory[:length].ljust(length, b"\0") + b"#")
            elif command == b"v":
                read_pipe.sendall(b"Contract 1.0".ljust(14, b"\0"))
            elif command == b"x":
                read_pipe.sendall(b"#")
    except (EOFError, ConnectionError):
        pass
    finally:
        read_pipe.close()
        write_pipe.close()
