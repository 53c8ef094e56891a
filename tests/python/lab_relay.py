"""The network lab's impairment relay: an IPv4 router in user space that
loses, delays and reorders the UDP datagrams it forwards.

It runs in the relay namespace of the lab (see lab.py), whose kernel does not
forward. Packet sockets on the two adapters read every IPv4 packet sent to
this host's hardware address for another host; a raw IP socket sends it on,
so that the namespace's routes choose the side and its neighbour table the
next hop, as the kernel's own forwarding would. Packets larger than the next
hop's MTU are refused by the kernel (EMSGSIZE) and dropped, as a router does
with a packet it may not fragment; a link that is down drops what is sent
over it. The UDP checksum of a forwarded datagram is cleared (none, which
IPv4 allows): a sender on a veth leaves it to be filled in on the way out,
which a packet socket does not see.

Faults apply to the UDP datagrams that arrive on the adapters named with
--faulty (by default on every adapter), drawn from one generator
seeded with --seed, so the same datagrams fall the same way in every run:
--loss P drops a datagram; --delay MS and --jitter MS hold each datagram for
the delay plus or minus up to the jitter, in the order they came; --reorder P
lets a datagram skip the delay and overtake the ones held.

It prints "ready" once it listens, and its counters as one JSON line when it
gets SIGTERM; then it exits.
"""

from __future__ import annotations

import argparse
import collections
import errno
import json
import random
import select
import signal
import socket
import struct
import sys
import time

SO_RCVBUFFORCE = 33  # <asm-generic/socket.h>; Python's socket module does not name it
ETH_P_IP = 0x0800
PACKET_HOST = 0
GVCP_PORT = 3956


class Impairment:
    """What happens to each datagram: lost, held until a time, or sent now."""

    def __init__(self, loss: float, delay: float, jitter: float, reorder: float, seed: int) -> None:
        self.loss, self.delay, self.jitter, self.reorder = loss, delay, jitter, reorder
        self.random = random.Random(seed)
        self.last_release = 0.0

    def release_time(self, now: float) -> float | None:
        """None for a lost datagram, else when it leaves (now: at once)."""
        # Three draws per datagram whatever the settings, so a seed gives one
        # pattern of losses for any delay and reordering.
        lost = self.random.random() < self.loss
        overtakes = self.random.random() < self.reorder
        spread = self.random.uniform(-self.jitter, self.jitter)
        if lost:
            return None
        if overtakes or self.delay <= 0:
            return now
        # Held datagrams keep their order: the jitter varies the delay, it
        # does not reorder.
        self.last_release = max(now + max(self.delay + spread, 0.0), self.last_release)
        return self.last_release


def udp_header(packet: bytes) -> int | None:
    """Where the UDP header of an IPv4 packet starts; None for a fragment
    after the first, which has none."""
    if struct.unpack_from("!H", packet, 6)[0] & 0x1FFF:
        return None
    return (packet[0] & 0x0F) * 4


def is_stream(packet: bytes) -> bool:
    """A UDP datagram (or fragment) of neither GVCP side: a stream packet."""
    header = udp_header(packet)
    return header is None or GVCP_PORT not in struct.unpack_from("!HH", packet, header)


def without_checksum(packet: bytes) -> bytes:
    header = udp_header(packet)
    if header is None:
        return packet
    return packet[:header + 6] + b"\0\0" + packet[header + 8:]


class Relay:
    def __init__(self, adapters: list[str], faulty: set[str], own: set[str], impairment: Impairment) -> None:
        self.impairment = impairment
        self.own = {socket.inet_aton(address) for address in own}
        self.taps = []
        self.faulty: set[socket.socket] = set()
        for name in adapters:
            tap = socket.socket(socket.AF_PACKET, socket.SOCK_DGRAM, socket.htons(ETH_P_IP))
            tap.bind((name, ETH_P_IP))
            # Beyond net.core.rmem_max (the relay runs as root): a relay
            # that drops bursts on its own would be loss nobody asked for.
            tap.setsockopt(socket.SOL_SOCKET, SO_RCVBUFFORCE, 8 << 20)
            tap.setblocking(False)
            self.taps.append(tap)
            if not faulty or name in faulty:
                self.faulty.add(tap)
        self.out = socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_RAW)
        self.out.setblocking(False)
        self.held: collections.deque[tuple[float, bytes]] = collections.deque()
        self.counters = collections.Counter(
            forwarded=0, lost=0, lost_stream=0, reordered=0, too_big=0, unsendable=0)

    def run(self, stop: list[bool]) -> None:
        while not stop[0]:
            now = time.monotonic()
            wait = 0.5 if not self.held else max(self.held[0][0] - now, 0.0)
            try:
                readable, _, _ = select.select(self.taps, [], [], wait)
            except InterruptedError:
                continue
            for tap in readable:
                self.take(tap)
            self.release(time.monotonic())

    def take(self, tap: socket.socket) -> None:
        while True:
            try:
                packet, (_, _, kind, _, _) = tap.recvfrom(65535)
            except BlockingIOError:
                return
            if kind != PACKET_HOST or len(packet) < 20 or packet[16:20] in self.own:
                continue
            if packet[9] != socket.IPPROTO_UDP:
                self.send(packet)
                continue
            packet = without_checksum(packet)
            if tap not in self.faulty:
                self.send(packet)
                continue
            now = time.monotonic()
            when = self.impairment.release_time(now)
            if when is None:
                self.counters["lost"] += 1
                self.counters["lost_stream"] += is_stream(packet)
            elif when <= now:
                self.counters["reordered"] += bool(self.held)
                self.send(packet)
            else:
                self.held.append((when, packet))

    def release(self, now: float) -> None:
        while self.held and self.held[0][0] <= now:
            self.send(self.held.popleft()[1])

    def send(self, packet: bytes) -> None:
        try:
            self.out.sendto(packet, (socket.inet_ntoa(packet[16:20]), 0))
            self.counters["forwarded"] += 1
        except OSError as exc:
            self.counters["too_big" if exc.errno == errno.EMSGSIZE else "unsendable"] += 1


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--adapter", action="append", required=True, help="an adapter to forward between")
    parser.add_argument("--faulty", action="append", default=[], help="faults for what arrives here (default: all)")
    parser.add_argument("--own", action="append", default=[], help="an address of this host (not forwarded)")
    parser.add_argument("--loss", type=float, default=0.0)
    parser.add_argument("--delay", type=float, default=0.0, help="milliseconds")
    parser.add_argument("--jitter", type=float, default=0.0, help="milliseconds")
    parser.add_argument("--reorder", type=float, default=0.0)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    impairment = Impairment(args.loss, args.delay / 1000, args.jitter / 1000, args.reorder, args.seed)
    relay = Relay(args.adapter, set(args.faulty), set(args.own), impairment)
    stop = [False]
    signal.signal(signal.SIGTERM, lambda *_: stop.__setitem__(0, True))
    print("ready", flush=True)
    relay.run(stop)
    print(json.dumps(dict(relay.counters)), flush=True)
    sys.exit(0)


if __name__ == "__main__":
    main()
