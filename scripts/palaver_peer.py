#!/usr/bin/env python3
"""A scripted Palaver peer for checks from outside the program.

  palaver_peer.py talk HOST PORT [NICK]   log in, send one line, wait for its acknowledgement
  palaver_peer.py guess HOST PORT SECONDS  offer wrong login passwords as fast as allowed
  palaver_peer.py flood HOST PORT SECONDS  wrong passwords from 160 addresses, 8 calls a
                                            second, while a friend logs in every 2 seconds
                                            (HOST must be 127.0.0.1: the addresses are
                                            127.1.0.1 and on)

Only message passwords left empty are supported: bodies travel as they are."""
import os
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


def message(cmd: int, body: bytes, num: int, user: int = 1) -> bytes:
    header = b"QV;(" + struct.pack("<iii", 0, user, num) + bytes([cmd]) + struct.pack("<i", len(body))
    return header + struct.pack("<i", normalised_crc(header + body)) + body


def read_message(sock: socket.socket, buffer: bytearray):
    """The next whole message as (cmd, crc, body), or None when the call ends."""
    while True:
        if len(buffer) >= 25:
            length = struct.unpack_from("<i", buffer, 17)[0]
            if len(buffer) >= 25 + length:
                cmd, crc = buffer[16], struct.unpack_from("<i", buffer, 21)[0]
                body = bytes(buffer[25:25 + length])
                del buffer[:25 + length]
                return cmd, crc, body
        chunk = sock.recv(65536)
        if not chunk:
            return None
        buffer.extend(chunk)


def read_auth(sock: socket.socket, buffer: bytearray):
    """The opening message, past the offer a newer answerer sends before it (a peer that
    knows only the old rules logs the offer as an unknown login body and goes on)."""
    first = read_message(sock, buffer)
    if first is not None and first[0] == 3 and first[2].startswith(b"CAPS"):
        first = read_message(sock, buffer)
    return first


def talk(host: str, port: int, nick: str) -> int:
    with socket.create_connection((host, port), timeout=20) as s:
        buf = bytearray()
        first = read_auth(s, buf)
        if first is None or first[2] != b"AUTH":
            print("no AUTH from", host, port)
            return 1
        s.sendall(message(3, b"PASS\0" + nick.encode(), 1))
        acpt = read_message(s, buf)
        if acpt is None or not acpt[2].startswith(b"ACPT"):
            print("not accepted:", acpt)
            return 1
        line = message(1, b"Hello from " + nick.encode(), 2)
        s.sendall(line)
        ack = read_message(s, buf)
        expected = b"OK" + line[21:25]
        if ack is None or ack[0] != 2 or ack[2] != expected:
            print("no matching acknowledgement:", ack)
            return 1
        print(f"logged in as {nick}, accepted by {acpt[2][4:].decode(errors='replace')!r}, "
              "line acknowledged with the right CRC")
        # PALAVER_PEER_LINGER: seconds to stay on the line before hanging up.
        time.sleep(float(os.environ.get("PALAVER_PEER_LINGER", "0")))
        return 0


def try_once(host: str, port: int, guess: bytes) -> str:
    with socket.create_connection((host, port), timeout=90) as s:
        buf = bytearray()
        if read_auth(s, buf) is None:
            return "refused"  # closed before AUTH: held back or too many pending
        s.sendall(message(3, b"PASS" + guess + b"\0guesser", 1))
        answer = read_message(s, buf)
        return "judged" if answer is None else "accepted"


def guess(host: str, port: int, seconds: float) -> int:
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
    return 0


def timed_login(host: str, port: int, source: str) -> float:
    """Seconds from connecting to ACPT with the right (empty) password; inf when refused."""
    start = time.monotonic()
    try:
        with socket.create_connection((host, port), timeout=30, source_address=(source, 0)) as s:
            buf = bytearray()
            if read_auth(s, buf) is None:
                return float("inf")
            s.sendall(message(3, b"PASS\0Friend", 1))
            answer = read_message(s, buf)
            ok = answer is not None and answer[2].startswith(b"ACPT")
            return time.monotonic() - start if ok else float("inf")
    except OSError:
        return float("inf")


def flood(host: str, port: int, seconds: float) -> int:
    import threading

    stop = time.monotonic() + seconds
    sources = [f"127.1.{k // 200}.{k % 200 + 1}" for k in range(160)]

    def guesser(k: int) -> None:
        # Each address calls every 20 s: 160 of them make 8 calls a second.
        time.sleep(k * 0.125)
        while time.monotonic() < stop:
            began = time.monotonic()
            try:
                with socket.create_connection((host, port), timeout=30,
                                              source_address=(sources[k], 0)) as s:
                    buf = bytearray()
                    if read_auth(s, buf) is not None:
                        s.sendall(message(3, b"PASSwrong\0Eve", 1))
                        read_message(s, buf)
            except OSError:
                pass
            time.sleep(max(0.0, 20.0 - (time.monotonic() - began)))

    threads = [threading.Thread(target=guesser, args=(k,), daemon=True) for k in range(160)]
    for t in threads:
        t.start()
    times = []
    n = 0
    while time.monotonic() < stop:
        time.sleep(2)
        n += 1
        times.append(timed_login(host, port, f"127.2.{n // 200}.{n % 200 + 1}"))
    inside = sum(1 for t in times if t <= 1.0)
    print(f"{seconds:.0f} s of guessing: {inside} of {len(times)} friends logged in within 1 s; "
          f"slowest {max(times) * 1000:.0f} ms, median {sorted(times)[len(times) // 2] * 1000:.0f} ms")
    return 0 if inside == len(times) else 1


def main() -> int:
    if len(sys.argv) == 2 and sys.argv[1] in ("-h", "--help"):
        print(__doc__)
        return 0
    if len(sys.argv) < 4 or sys.argv[1] not in ("talk", "guess", "flood"):
        print(__doc__)
        return 2
    host, port = sys.argv[2], int(sys.argv[3])
    if sys.argv[1] == "talk":
        return talk(host, port, sys.argv[4] if len(sys.argv) > 4 else "Peer")
    if sys.argv[1] == "flood":
        return flood(host, port, float(sys.argv[4]))
    return guess(host, port, float(sys.argv[4]))


if __name__ == "__main__":
    sys.exit(main())
