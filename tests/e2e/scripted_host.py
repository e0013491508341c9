#!/usr/bin/env python3
"""A scripted remote host on loopback, for tests and benchmarks of pingers.

Inside a network namespace of its own (the kernel's echo replies switched
off), a responder on a raw socket sees every ICMP echo request and answers it
as a plan says, request by request: a reply after a delay, with a chosen TTL,
from a chosen 127.0.0.0/8 address; nothing at all; an ICMP error from a
"router" that quotes the request; stray and hostile packets around the real
answer. It records every request it saw.

Library use (inside a namespace, see `isolate` and `prepare_namespace`):

    responder = Responder(in_arrival_order([[Reply(delay_ms=30, ttl=42)], []]))
    responder.start()
    ... run the pinger ...
    requests = responder.stop()     # list of Request, with what was sent

Each Request carries its arrival time and, in `sent`, every packet sent for
it with the moment it reached the sockets (kernel timestamps on
CLOCK_MONOTONIC): the truth a pinger's round trip is measured against.
`NameServer` answers lookups, and can hold them until many pingers wait.

Command line: `scripted_host.py run [--plan JSON] -- COMMAND...` runs COMMAND
inside a fresh namespace with the responder serving; `scripted_host.py serve`
serves in the current namespace until SIGTERM/SIGINT or --seconds. See --help.

Only loopback addresses are ever written into a packet; anything else is
refused before it reaches a socket.
"""

import argparse
import collections
import dataclasses
import heapq
import ipaddress
import json
import os
import pickle
import select
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import traceback
from typing import Callable, List, Optional, Sequence, Union

ICMP_ECHO_REPLY = 0
ICMP_DEST_UNREACHABLE = 3
ICMP_ECHO_REQUEST = 8
ICMP_TIME_EXCEEDED = 11

ROUTER = "127.0.0.254"
LOOPBACK = ipaddress.ip_network("127.0.0.0/8")

# The names the tests resolve; nothing else resolves unless a NameServer
# serves it.
DEFAULT_HOSTS = """\
127.0.0.1\tlocalhost
127.0.0.2\tzentrale.nivor.test zentrale
127.0.0.4\tdoppel.nivor.test doppel
127.0.0.3\tdoppel.nivor.test doppel
127.0.0.7\trechner.nivor.test rechner
"""
# The namespace's own host name, so that a lookup of it stays in the file.
HOST_NAME = "rechner"
# Nothing listens at the name server's address unless a test starts a
# NameServer there, so a lookup that reaches DNS fails at once; one that a
# NameServer holds may wait up to 30 s without being asked again.
NAME_SERVER = "127.0.0.53"
RESOLV_CONF = "nameserver %s\noptions timeout:30 attempts:1\n" % NAME_SERVER
HOST_CONF = "multi on\n"
NSSWITCH_CONF = "hosts: files dns\n"

INSIDE_MARK = "SCRIPTED_HOST_INSIDE"
SPIN_NS = 100_000


# ----------------------------------------------------------------- actions --

@dataclasses.dataclass(frozen=True)
class Reply:
    """An echo reply `delay_ms` after the request arrived.

    By default the real answer: from the address the request went to,
    echoing its identifier, sequence and payload. The other fields turn it
    into a stray: `source` another sender, the deltas another identifier or
    sequence, `bad_checksum` a damaged checksum, `payload` other data.
    """
    delay_ms: float = 0.0
    ttl: int = 64
    source: Optional[str] = None
    identifier_delta: int = 0
    sequence_delta: int = 0
    bad_checksum: bool = False
    payload: Optional[bytes] = None

    def kind(self) -> str:
        """"reply" for the real answer, "stray" for anything altered."""
        return "reply" if self == Reply(delay_ms=self.delay_ms, ttl=self.ttl) else "stray"


@dataclasses.dataclass(frozen=True)
class IcmpError:
    """An ICMP error from `router`, quoting the request's IP header and first
    8 ICMP bytes; with `quote_sequence_delta` someone else's request, with
    `quote_bytes` below 28 a quote cut short (only raw sockets get those)."""
    delay_ms: float = 0.0
    icmp_type: int = ICMP_DEST_UNREACHABLE
    code: int = 1
    ttl: int = 64
    router: str = ROUTER
    quote_sequence_delta: int = 0
    quote_bytes: int = 28

    def kind(self) -> str:
        """"error" for an answer to the request, "stray" for anything else."""
        return "error" if self.quote_sequence_delta == 0 and self.quote_bytes >= 28 else "stray"


@dataclasses.dataclass(frozen=True)
class Stream:
    """`count` copies of `packet`, the first at its own delay, then one every
    `every_ms`: bounded, so a responder always falls quiet."""
    packet: Union[Reply, IcmpError]
    every_ms: float
    count: int


Action = Union[Reply, IcmpError, Stream]


@dataclasses.dataclass
class Request:
    """One echo request as it arrived, and what was sent back for it."""
    index: int          # arrival order over the whole run
    session: int        # which pinger run: same identifier, consecutive sequences
    number: int         # arrival order within its session
    time_ns: int        # CLOCK_MONOTONIC at receipt
    source: str
    destination: str
    identifier: int
    sequence: int
    ttl: int
    size: int           # ICMP message bytes: header and payload
    payload: bytes
    checksum_ok: bool
    # What went back: {"kind": "reply", "error" or "stray", "delay_ms": as
    # scripted, "time_ns": just before the send, "delivered_ns": when loopback
    # handed it to the sockets}
    sent: List[dict] = dataclasses.field(default_factory=list)

    def answered_ns(self, kinds=("reply", "error")) -> Optional[int]:
        """When the first answer of these kinds reached the sockets (when it
        was sent, where its delivery was not seen)."""
        times = [sent.get("delivered_ns", sent["time_ns"]) for sent in self.sent if sent["kind"] in kinds]
        return min(times) if times else None

    def as_json(self) -> dict:
        record = dataclasses.asdict(self)
        record["payload"] = self.payload.hex()
        return record


Plan = Callable[[Request], Sequence[Action]]


def in_arrival_order(per_request: Sequence[Sequence[Action]]) -> Plan:
    """The n-th request to arrive gets per_request[n]; later requests get the
    last entry again. An empty entry drops the request. For one pinger at a
    time: it needs nothing from the packets to tell pingers apart, which some
    echo services do not give (Wine's takes a new identifier for every
    request on datagram sockets, and one shared by all processes on raw ones)."""
    if not per_request:
        raise ValueError("a plan needs at least one entry")

    def plan(request: Request) -> Sequence[Action]:
        return per_request[min(request.index, len(per_request) - 1)]
    return plan


def per_session(per_request: Sequence[Sequence[Action]]) -> Plan:
    """As in_arrival_order, counted within each session (one identifier,
    consecutive sequence numbers): for several pingers that keep to that."""
    if not per_request:
        raise ValueError("a plan needs at least one entry")

    def plan(request: Request) -> Sequence[Action]:
        return per_request[min(request.number, len(per_request) - 1)]
    return plan


def action_from_json(item: dict) -> Action:
    """{"reply": {...}}, {"error": {...}} or {"stream": {"packet": {...}, ...}}."""
    (kind, fields), = item.items()
    if kind == "reply":
        fields = dict(fields)
        if "payload" in fields and fields["payload"] is not None:
            fields["payload"] = bytes.fromhex(fields["payload"])
        return Reply(**fields)
    if kind == "error":
        return IcmpError(**fields)
    if kind == "stream":
        fields = dict(fields)
        fields["packet"] = action_from_json(fields["packet"])
        return Stream(**fields)
    raise ValueError("unknown action %r" % kind)


def plan_from_json(text: str, count_by: str = "session") -> Plan:
    """A JSON list with one list of actions per request, counted per session
    or in arrival order (see per_session and in_arrival_order)."""
    per_request = [[action_from_json(item) for item in entry] for entry in json.loads(text)]
    return per_session(per_request) if count_by == "session" else in_arrival_order(per_request)


# ----------------------------------------------------------------- packets --

def internet_checksum(data: bytes) -> int:
    if len(data) % 2:
        data += b"\0"
    total = sum(struct.unpack("!%dH" % (len(data) // 2), data))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return ~total & 0xFFFF


def loopback_only(address: str) -> bytes:
    if ipaddress.ip_address(address) not in LOOPBACK:
        raise ValueError("refusing to send to or from %s: loopback only" % address)
    return socket.inet_aton(address)


def ip_packet(source: str, destination: str, ttl: int, icmp_message: bytes) -> bytes:
    # The kernel fills in the total length, the identification and the header
    # checksum of an IP_HDRINCL packet.
    header = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 0, 0, 0, ttl, socket.IPPROTO_ICMP, 0,
                         loopback_only(source), loopback_only(destination))
    return header + icmp_message


def icmp_message(icmp_type: int, code: int, rest: bytes, bad_checksum: bool = False) -> bytes:
    checksum = internet_checksum(struct.pack("!BBH", icmp_type, code, 0) + rest)
    if bad_checksum:
        checksum ^= 0x5555
    return struct.pack("!BBH", icmp_type, code, checksum) + rest


def reply_packet(reply: Reply, request: Request) -> bytes:
    identifier = (request.identifier + reply.identifier_delta) & 0xFFFF
    sequence = (request.sequence + reply.sequence_delta) & 0xFFFF
    payload = request.payload if reply.payload is None else reply.payload
    message = icmp_message(ICMP_ECHO_REPLY, 0, struct.pack("!HH", identifier, sequence) + payload,
                           reply.bad_checksum)
    return ip_packet(reply.source or request.destination, request.source, reply.ttl, message)


def error_packet(error: IcmpError, request: Request, quoted_ip_header: bytes) -> bytes:
    sequence = (request.sequence + error.quote_sequence_delta) & 0xFFFF
    quoted_echo = icmp_message(ICMP_ECHO_REQUEST, 0,
                               struct.pack("!HH", request.identifier, sequence) + request.payload)[:8]
    quote = (quoted_ip_header + quoted_echo)[:error.quote_bytes]
    message = icmp_message(error.icmp_type, error.code, b"\0\0\0\0" + quote)
    return ip_packet(error.router, request.source, error.ttl, message)


def delivery_key(packet: bytes) -> bytes:
    """What stays the same between a packet as sent and as received: its
    addresses and its ICMP message (the kernel fills in the rest)."""
    header_length = (packet[0] & 0x0F) * 4 if packet else 0
    return packet[12:20] + packet[header_length:]


def parse_echo_request(packet: bytes):
    """(source, destination, ttl, ip header, icmp message) of an echo request
    with its IP header, or None for anything else."""
    if len(packet) < 20 or packet[0] >> 4 != 4:
        return None
    header_length = (packet[0] & 0x0F) * 4
    if header_length < 20 or len(packet) < header_length + 8 or packet[9] != socket.IPPROTO_ICMP:
        return None
    message = packet[header_length:]
    if message[0] != ICMP_ECHO_REQUEST or message[1] != 0:
        return None
    return (socket.inet_ntoa(packet[12:16]), socket.inet_ntoa(packet[16:20]), packet[8],
            packet[:header_length], message)


# --------------------------------------------------------------- responder --

SO_TIMESTAMPNS = getattr(socket, "SO_TIMESTAMPNS", 35)


def wall_to_monotonic_ns() -> int:
    """What to add to a wall-clock time to get CLOCK_MONOTONIC: the closest
    of three paired readings, so a preemption between two reads cannot skew it."""
    samples = []
    for _ in range(3):
        before = time.monotonic_ns()
        wall = time.time_ns()
        after = time.monotonic_ns()
        samples.append((after - before, (before + after) // 2 - wall))
    return min(samples)[1]


def arrival_time(control, offset_ns: int) -> int:
    """CLOCK_MONOTONIC when the kernel took the packet in, from its receive
    timestamp: a busy responder reads packets late, and their arrival must
    not move with it."""
    for level, kind, data in control:
        if level == socket.SOL_SOCKET and kind == SO_TIMESTAMPNS and len(data) >= 16:
            seconds, nanoseconds = struct.unpack("qq", data[:16])
            return seconds * 1_000_000_000 + nanoseconds + offset_ns
    return time.monotonic_ns()


class Responder:
    """Serves a plan from a process of its own until stop(): no other Python
    thread can hold it up, nor it them, so its timing is the kernel's."""

    def __init__(self, plan: Plan):
        self._plan = plan
        self._requests: List[Request] = []
        self._sessions: List[List[int]] = []  # per session: identifier, next sequence, count
        self._pending: list = []              # heap of (due_ns, order, _Due)
        self._order = 0
        self._in_flight: dict = {}  # delivery_key -> deque of sent records
        self._child = 0
        self._wake_read, self._wake_write = os.pipe()
        self._result_read, self._result_write = os.pipe()
        self._listener = socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_ICMP)
        self._listener.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 20)
        self._listener.setsockopt(socket.SOL_SOCKET, SO_TIMESTAMPNS, 1)
        self._sender = socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_RAW)

    def start(self) -> "Responder":
        self._child = os.fork()
        if self._child == 0:
            self._serve_and_report()
        for resource in (self._listener, self._sender):
            resource.close()
        for descriptor in (self._wake_read, self._result_write):
            os.close(descriptor)
        return self

    def stop(self) -> List[Request]:
        """Stops serving (packets not yet due are not sent) and returns the
        requests seen, in arrival order."""
        os.write(self._wake_write, b"x")
        chunks = []
        while True:
            chunk = os.read(self._result_read, 1 << 16)
            if not chunk:
                break
            chunks.append(chunk)
        os.waitpid(self._child, 0)
        os.close(self._wake_write)
        os.close(self._result_read)
        outcome, value = pickle.loads(b"".join(chunks)) if chunks else ("failed", "no report")
        if outcome != "served":
            raise RuntimeError("the scripted host failed:\n" + value)
        return value

    def _serve_and_report(self) -> None:
        try:
            self._serve()
            report = pickle.dumps(("served", self._requests))
        except BaseException:  # reported by stop(), in the parent
            report = pickle.dumps(("failed", traceback.format_exc()))
        with os.fdopen(self._result_write, "wb") as result:
            result.write(report)
        os._exit(0)

    def __enter__(self) -> "Responder":
        return self.start()

    def __exit__(self, *exc_info) -> None:
        self.stop()

    def _serve(self) -> None:
        while True:
            self._send_due()
            timeout = None
            if self._pending:
                timeout = max(0.0, (self._pending[0][0] - time.monotonic_ns() - SPIN_NS) / 1e9)
            # select, not poll: its timeout has microseconds, poll's whole
            # milliseconds would make every reply up to 1 ms late; the last
            # stretch is spun, as a wake-up may come late by as much.
            readable, _, _ = select.select([self._listener, self._wake_read], [], [], timeout)
            if self._wake_read in readable:
                self._receive_all()  # deliveries of the last packets sent
                return
            if readable:
                self._receive_all()

    def _receive_all(self) -> None:
        offset_ns = wall_to_monotonic_ns()
        while True:
            try:
                packet, control, _, _ = self._listener.recvmsg(65536, 256, socket.MSG_DONTWAIT)
            except BlockingIOError:
                return
            arrived = arrival_time(control, offset_ns)
            if self._note_delivery(packet, arrived):
                continue
            parsed = parse_echo_request(packet)
            if parsed is not None:
                self._answer(arrived, *parsed)

    def _note_delivery(self, packet: bytes, arrived: int) -> bool:
        """Whether the packet is one of ours coming back through loopback: its
        arrival there is the moment the pinger's socket got it too."""
        waiting = self._in_flight.get(delivery_key(packet))
        if not waiting:
            return False
        waiting.popleft()["delivered_ns"] = arrived
        return True

    def _session_of(self, identifier: int, sequence: int):
        for session, state in enumerate(self._sessions):
            if state[0] == identifier and state[1] == sequence:
                state[1] = (sequence + 1) & 0xFFFF
                state[2] += 1
                return session, state[2] - 1
        self._sessions.append([identifier, (sequence + 1) & 0xFFFF, 1])
        return len(self._sessions) - 1, 0

    def _answer(self, arrived, source, destination, ttl, ip_header, message) -> None:
        identifier, sequence = struct.unpack("!HH", message[4:8])
        session, number = self._session_of(identifier, sequence)
        request = Request(index=len(self._requests), session=session, number=number, time_ns=arrived,
                          source=source, destination=destination, identifier=identifier, sequence=sequence,
                          ttl=ttl, size=len(message), payload=bytes(message[8:]),
                          checksum_ok=internet_checksum(message) == 0)
        self._requests.append(request)
        for action in self._plan(request):
            self._schedule(action, request, ip_header, arrived)
        self._send_due()

    def _schedule(self, action: Action, request: Request, ip_header: bytes, arrived: int) -> None:
        stream = action if isinstance(action, Stream) else Stream(packet=action, every_ms=0.0, count=1)
        if stream.count > 0:
            self._push(_Due(stream.packet, request, ip_header, stream.packet.delay_ms, stream.every_ms, stream.count))

    def _push(self, due: "_Due") -> None:
        self._order += 1
        heapq.heappush(self._pending, (due.request.time_ns + int(due.delay_ms * 1e6), self._order, due))

    def _send_due(self) -> None:
        # A stream's packets are built one at a time, when due: thousands
        # built at once would hold up every other answer.
        while self._pending and self._pending[0][0] <= time.monotonic_ns():
            due = heapq.heappop(self._pending)[2]
            if isinstance(due.action, Reply):
                packet = reply_packet(due.action, due.request)
            else:
                packet = error_packet(due.action, due.request, due.ip_header)
            # Read before the send: a thread preempted right after it would
            # otherwise stamp the packet late.
            record = {"kind": due.action.kind(), "delay_ms": due.delay_ms, "time_ns": time.monotonic_ns()}
            due.request.sent.append(record)
            self._in_flight.setdefault(delivery_key(packet), collections.deque()).append(record)
            self._sender.sendto(packet, (due.request.source, 0))
            if due.copies_left > 1:
                self._push(dataclasses.replace(due, delay_ms=due.delay_ms + due.every_ms,
                                               copies_left=due.copies_left - 1))


@dataclasses.dataclass(frozen=True)
class _Due:
    """A packet waiting to be sent, and how many more copies follow it."""
    action: Union[Reply, IcmpError]
    request: Request
    ip_header: bytes
    delay_ms: float
    every_ms: float
    copies_left: int


# ------------------------------------------------------------- name server --

DNS_TYPE_A = 1


class NameServer:
    """A name server on NAME_SERVER:53 that knows `names` (name -> address,
    both loopback) and, with `hold` above 0, answers no address query until
    `hold` of them wait: a barrier that lets many pingers start up fully and
    then ask the host at the same moment. It never holds past `hold_s`."""

    def __init__(self, names: dict, hold: int = 0, hold_s: float = 20.0):
        self._names = {name.lower().rstrip("."): loopback_only(address) for name, address in names.items()}
        self._hold, self._hold_s = hold, hold_s
        self._held: list = []
        self._socket = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self._socket.bind((NAME_SERVER, 53))
        self._wake_read, self._wake_write = os.pipe()
        self._thread = threading.Thread(target=self._serve, name="name-server", daemon=True)
        self.released_ns: Optional[int] = None  # when the held queries were answered
        self.released_count = 0                 # how many were held then

    def start(self) -> "NameServer":
        self._thread.start()
        return self

    def stop(self) -> None:
        os.write(self._wake_write, b"x")
        self._thread.join(timeout=10)
        self._socket.close()
        os.close(self._wake_read)
        os.close(self._wake_write)

    def _serve(self) -> None:
        started = time.monotonic()
        while True:
            waited = time.monotonic() - started
            timeout = max(0.0, self._hold_s - waited) if self._held else None
            readable, _, _ = select.select([self._socket, self._wake_read], [], [], timeout)
            if self._wake_read in readable:
                return
            if self._socket in readable:
                query, client = self._socket.recvfrom(512)
                self._take(query, client)
            if self._held and (len(self._held) >= self._hold or time.monotonic() - started >= self._hold_s):
                self.released_ns = time.monotonic_ns()
                self.released_count = len(self._held)
                for answer, waiting_client in self._held:
                    self._socket.sendto(answer, waiting_client)
                self._held, self._hold = [], 0

    def _take(self, query: bytes, client) -> None:
        answer, holds = self._answer(query)
        if answer is None:
            return
        if holds and self._hold > 0:
            self._held.append((answer, client))
        else:
            self._socket.sendto(answer, client)

    def _answer(self, query: bytes):
        """The response to a one-question query, and whether it asks for the
        IPv4 address of a known name; (None, False) for what is no such query."""
        if len(query) < 12 or struct.unpack("!H", query[4:6])[0] != 1:
            return None, False
        labels, at = [], 12
        while at < len(query) and query[at] != 0:
            labels.append(query[at + 1:at + 1 + query[at]].decode("ascii", "replace"))
            at += 1 + query[at]
        if at + 5 > len(query):
            return None, False
        question = query[12:at + 5]
        query_type = struct.unpack("!H", query[at + 1:at + 3])[0]
        address = self._names.get(".".join(labels).lower())
        # NXDOMAIN for unknown names; no records for other types of a known one.
        flags = 0x8180 if address is not None else 0x8183
        records = b""
        if address is not None and query_type == DNS_TYPE_A:
            records = struct.pack("!HHHIH", 0xC00C, DNS_TYPE_A, 1, 60, 4) + address
        header = query[:2] + struct.pack("!HHHHH", flags, 1, 1 if records else 0, 0, 0)
        return header + question + records, bool(records)


# --------------------------------------------------------------- namespace --

def isolate(argv: Sequence[str]) -> List[str]:
    """The command that runs argv in new network, mount, UTS and PID
    namespaces: when argv ends, everything it started ends with it."""
    return ["unshare", "--net", "--mount", "--propagation", "private", "--uts", "--pid", "--fork", "--kill-child",
            "--mount-proc", "--"] + list(argv)


def wine_server_directory() -> str:
    """Where Wine keeps its server's socket, whatever the prefix: a tmpfs over it
    inside a namespace makes the server started there private to it."""
    directory = "/tmp/.wine-%d" % os.geteuid()
    os.makedirs(directory, mode=0o700, exist_ok=True)
    return directory


def write_sysctl(name: str, value: str) -> None:
    with open("/proc/sys/" + name.replace(".", "/"), "w") as handle:
        handle.write(value)


def bind_file(text: str, target: str, scratch: str) -> None:
    source = os.path.join(scratch, os.path.basename(target))
    with open(source, "w") as handle:
        handle.write(text)
    subprocess.run(["mount", "--bind", source, target], check=True)


def prepare_namespace(scratch: str, hosts: str = DEFAULT_HOSTS, datagram_sockets: bool = True) -> None:
    """Makes the current, freshly isolated namespaces a closed loopback world:
    lo up, the kernel's echo replies off, names only from `hosts` (the host's
    own name, HOST_NAME, among them), datagram
    ICMP sockets open to root (group 0) or to nobody. `scratch`, an existing
    directory, becomes a tmpfs private to the namespace for the files."""
    subprocess.run(["mount", "-t", "tmpfs", "-o", "mode=0755", "tmpfs", scratch], check=True)
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
    socket.sethostname(HOST_NAME)
    write_sysctl("net.ipv4.icmp_echo_ignore_all", "1")
    write_sysctl("net.ipv4.ping_group_range", "0 0" if datagram_sockets else "1 0")
    bind_file(hosts, "/etc/hosts", scratch)
    bind_file(RESOLV_CONF, "/etc/resolv.conf", scratch)
    bind_file(HOST_CONF, "/etc/host.conf", scratch)
    bind_file(NSSWITCH_CONF, "/etc/nsswitch.conf", scratch)


# ------------------------------------------------------------ command line --

def plan_from_arguments(arguments) -> Plan:
    if arguments.plan is not None:
        return plan_from_json(arguments.plan, arguments.count_by)
    return in_arrival_order([[Reply(delay_ms=arguments.delay, ttl=arguments.ttl)]])


def write_log(requests: List[Request], path: Optional[str]) -> None:
    if path is None:
        return
    with open(path, "w") as handle:
        json.dump([request.as_json() for request in requests], handle, indent=1)


def serve(arguments) -> int:
    stop = threading.Event()
    for number in (signal.SIGTERM, signal.SIGINT):
        signal.signal(number, lambda *_: stop.set())
    responder = Responder(plan_from_arguments(arguments)).start()
    print("ready", flush=True)
    stop.wait(arguments.seconds)
    write_log(responder.stop(), arguments.log)
    return 0


def run(arguments) -> int:
    if not arguments.command:
        raise SystemExit("run: give the command after --")
    if os.environ.get(INSIDE_MARK) is None:
        scratch = tempfile.mkdtemp(prefix="scripted-host-")
        try:
            environment = dict(os.environ, **{INSIDE_MARK: scratch})
            return subprocess.run(isolate([sys.executable, os.path.abspath(__file__)] + sys.argv[1:]),
                                  env=environment).returncode
        finally:
            os.rmdir(scratch)
    hosts = DEFAULT_HOSTS
    if arguments.hosts is not None:
        with open(arguments.hosts) as handle:
            hosts = handle.read()
    prepare_namespace(os.environ.pop(INSIDE_MARK), hosts, datagram_sockets=arguments.sockets == "datagram")
    responder = Responder(plan_from_arguments(arguments)).start()
    try:
        status = subprocess.run(arguments.command, timeout=arguments.seconds).returncode
    finally:
        write_log(responder.stop(), arguments.log)
    return status


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    commands = parser.add_subparsers(dest="mode", required=True)
    for name, help_text in (("run", "run COMMAND in a new namespace while the host serves (needs root)"),
                            ("serve", "serve in the current namespace until SIGTERM or --seconds")):
        command = commands.add_parser(name, help=help_text)
        command.add_argument("--plan", help='JSON: one list of actions per request number, e.g. '
                             '\'[[{"reply": {"delay_ms": 20, "ttl": 42}}], []]\' (the last repeats)')
        command.add_argument("--count-by", choices=("session", "arrival"), default="session",
                             help="count a plan's requests per session (identifier and sequence) or in arrival "
                             "order (for echo services that change identifiers, as Wine's does)")
        command.add_argument("--delay", type=float, default=0.0, help="without --plan: reply after MS")
        command.add_argument("--ttl", type=int, default=64, help="without --plan: reply TTL")
        command.add_argument("--log", help="write the requests seen to this JSON file")
        command.add_argument("--seconds", type=float, default=600.0, help="give up after this long")
        if name == "run":
            command.add_argument("--hosts", help="hosts file for the namespace (default: built in)")
            command.add_argument("--sockets", choices=("datagram", "raw"), default="datagram",
                                 help="datagram: root may open datagram ICMP sockets; raw: nobody may")
            command.add_argument("command", nargs=argparse.REMAINDER)
    arguments = parser.parse_args()
    if arguments.mode == "run":
        if arguments.command[:1] == ["--"]:
            arguments.command = arguments.command[1:]
        return run(arguments)
    return serve(arguments)


if __name__ == "__main__":
    sys.exit(main())
