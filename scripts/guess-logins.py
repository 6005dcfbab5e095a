#!/usr/bin/env python3
"""Tries wrong login passwords against a listening Palaver as fast as it lets us, and prints
how many were judged in the given time. Used to measure how well guessing is held back."""
import socket
import struct
import sys
import time
import zlib


def normalised_crc(data: bytes) -> int:
    raw = zlib.crc32(data) & 0xFFFFFFFF
    signed = raw - (1 << 32) if raw >= 1 << 31 else raw
    if signed >= 1:
        return signed
    if raw == 0xFFFFFFFF:
        return 2147483647
    return (raw & 0x7FFFFFFF) + 1


def message(cmd: int, body: bytes, num: int) -> bytes:
    header = b"QV;(" + struct.pack("<iii", 0, 1, num) + bytes([cmd]) + struct.pack("<i", len(body))
    return header + struct.pack("<i", normalised_crc(header + body)) + body


def try_once(host: str, port: int, guess: bytes) -> str:
    with socket.create_connection((host, port), timeout=90) as s:
        data = b""
        while len(data) < 29:
            chunk = s.recv(4096)
            if not chunk:
                return "refused"  # closed before AUTH: held back or too many pending
            data += chunk
        s.sendall(message(3, b"PASS" + guess + b"\0guesser", 1))
        while True:
            chunk = s.recv(4096)
            if not chunk:
                return "judged"
            if b"ACPT" in chunk:
                return "accepted"


def main() -> None:
    host = sys.argv[1] if len(sys.argv) > 1 else "127.0.0.1"
    port = int(sys.argv[2]) if len(sys.argv) > 2 else 7000
    seconds = float(sys.argv[3]) if len(sys.argv) > 3 else 60
    start = time.monotonic()
    counts = {"judged": 0, "refused": 0, "accepted": 0}
    n = 0
    while time.monotonic() - start < seconds:
        n += 1
        try:
            outcome = try_once(host, port, b"guess%d" % n)
        except OSError:
            outcome = "refused"
        counts[outcome] += 1
        if outcome == "refused":
            time.sleep(0.01)
    print(f"{seconds:.0f} s: {counts['judged']} guesses judged, "
          f"{counts['refused']} calls closed before AUTH, {counts['accepted']} accepted")


if __name__ == "__main__":
    main()
