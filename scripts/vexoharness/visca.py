"""VISCA over IP to the appliance's server on UDP 52381 (loopback): datagrams of every kind, a
sender at a steady rate that counts the answers, the server's receive queue, and the time from
one command to its ACK."""

import random
import select
import socket
import struct
import threading
import time

VISCA_PORT = 52381
VISCA_KINDS = ["command", "inquiry", "control", "truncated", "oversize", "random"]


def visca_datagram(kind, seq):
    """A VISCA over IP datagram of the given kind."""
    def frame(ptype, payload):
        return struct.pack(">HHI", ptype, len(payload), seq) + payload
    if kind == "command":
        return frame(0x0100, random.choice([b"\x81\x01\x04\x07\x02\xff", b"\x81\x01\x04\x07\x00\xff",
                                            b"\x81\x01\x06\x01\x05\x05\x03\x03\xff", b"\x81\x01\x04\x38\x02\xff"]))
    if kind == "inquiry":
        return frame(0x0110, random.choice([b"\x81\x09\x04\x47\xff", b"\x81\x09\x04\x00\xff", b"\x81\x09\x00\x02\xff"]))
    if kind == "control":
        return frame(0x0200, b"\x01")
    if kind == "truncated":
        return frame(0x0100, b"\x81\x01\x04\x07\x02\xff")[:random.randint(0, 13)]
    if kind == "oversize":
        return frame(0x0100, b"\x81\x01" + bytes(random.randrange(0xFF) for _ in range(random.randint(20, 1400))))
    return bytes(random.getrandbits(8) for _ in range(random.randint(1, 300)))  # random bytes


class ViscaSender(threading.Thread):
    """VISCA over IP at `rate` datagrams a second, every kind in turn; replies are drained
    and counted by type."""

    def __init__(self, rate, kinds=VISCA_KINDS, burst=1):
        super().__init__(daemon=True)
        self.rate, self.kinds, self.burst = rate, kinds, burst
        self.sent = 0
        self.replies = {}
        self.stopping = threading.Event()
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.setblocking(False)
        # Pre-made datagrams keep the sender fast enough for flood rates.
        self.pool = [(k, visca_datagram(k, 0)) for k in kinds for _ in range(16)]

    def drain(self):
        while True:
            try:
                data = self.sock.recv(2048)
            except (BlockingIOError, ConnectionRefusedError):
                return
            key = data[8:10].hex() if data[:2] == b"\x01\x11" else data[:2].hex()
            self.replies[key] = self.replies.get(key, 0) + 1

    def counts(self, *keys):
        """The replies of the given types ("9041" ACK, "9051" completion, ...) as "a/b/c"."""
        return "/".join(str(self.replies.get(k, 0)) for k in keys)

    def run(self):
        period = self.burst / self.rate
        next_t = time.monotonic()
        seq = 0
        while not self.stopping.is_set():
            for _ in range(self.burst):
                seq += 1
                kind, d = self.pool[seq % len(self.pool)]
                if kind not in ("random", "truncated") or len(d) >= 8:
                    d = d[:4] + struct.pack(">I", seq & 0xFFFFFFFF) + d[8:]
                try:
                    self.sock.sendto(d, ("127.0.0.1", VISCA_PORT))
                    self.sent += 1
                except (BlockingIOError, ConnectionRefusedError):
                    pass
            self.drain()
            next_t += period
            delay = next_t - time.monotonic()
            if delay > 0:
                time.sleep(delay)
            elif delay < -1.0:
                next_t = time.monotonic()  # fell behind: no burst to catch up
        self.drain()


def server_queue_bytes():
    """Bytes waiting in the receive queue of the socket bound to UDP 52381 (this namespace)."""
    with open("/proc/net/udp") as f:
        for line in f.readlines()[1:]:
            fields = line.split()
            if fields[1].endswith(":%04X" % VISCA_PORT):
                return int(fields[4].split(":")[1], 16)
    return 0


def ack_latency(timeout=2.0):
    """Sends one valid command from a fresh socket; seconds until its ACK (None: none came)."""
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    seq = 0x50AC0000 + random.randrange(0xFFFF)
    d = struct.pack(">HHI", 0x0100, 6, seq) + b"\x81\x01\x04\x07\x00\xff"
    t0 = time.monotonic()
    s.sendto(d, ("127.0.0.1", VISCA_PORT))
    deadline = t0 + timeout
    try:
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                return None
            ready, _, _ = select.select([s], [], [], left)
            if not ready:
                return None
            data = s.recv(2048)
            if len(data) >= 11 and struct.unpack(">I", data[4:8])[0] == seq and data[8:10] == b"\x90\x41":
                return time.monotonic() - t0
    finally:
        s.close()
