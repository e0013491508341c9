"""The end-to-end table: what each program must write, and what its requests
must look like, against the scripted host.

Expected output is exact bytes with "\\n" line ends (Wine's text mode makes
them "\\r\\n"), except for measured round trips: "<D>" stands for the round
trip of the packet the host sent D ms after the request arrived, and matches
from the time that packet really took to reach the sockets, in whole ms,
to 1 ms above it (never below D).

A row's `overrides` give what differs for one program ("wine", "native") or
one program in one mode ("wine/raw"): Wine's own echo service answers NIVOR.EXE,
and where it reports otherwise, the row records what it reports.

Modes say how the program may reach ICMP: "datagram" (ping_group_range open
to root, CAP_NET_RAW dropped), "raw" (range closed, root), "nobody" and
"no-net-raw" (range closed: no ICMP socket at all).
"""

import dataclasses
from typing import Callable, List, Optional, Sequence, Tuple

from scripted_host import IcmpError, Reply, Request, Stream, in_arrival_order

MEAN = "mean"                    # exit status: the mean of the measured round trips
TIMED_OUT = b"Antwort von 0.0.0.0: Zeit=0 ms, Time to Live=0 ms\nFehler: IcmpEcho-Status=11010"
ZENTRALE = b"Ping an zentrale.nivor.test[127.0.0.2]\n"
RECHNER = b"Ping an rechner.nivor.test[127.0.0.7]\n"
SOCKETS = ("datagram", "raw")


def answered(address: bytes, *delays: int, ttl: int = 42) -> bytes:
    return b"".join(b"Antwort von %s: Zeit=<%d> ms, Time to Live=%d ms\n" % (address, delay, ttl)
                    for delay in delays)


def not_found(target: bytes) -> bytes:
    return b"Fehler: Adresse " + target + b" wurde nicht gefunden !\n"


def replies(*delays: Optional[float], ttl: int = 42):
    """One reply per request, after its delay; None drops that request."""
    return in_arrival_order([[] if delay is None else [Reply(delay_ms=delay, ttl=ttl)] for delay in delays])


@dataclasses.dataclass(frozen=True)
class Scenario:
    name: str
    arguments: Sequence[bytes]
    expect: bytes
    exit: object                          # an int (the low 8 bits), or MEAN
    plan: Callable[[Request], Sequence] = replies(0, ttl=64)
    mean_of: Optional[int] = None         # MEAN over only the first n round trips
    requests: int = 3                     # echo requests the host must see
    destination: str = "127.0.0.2"        # where every one of them must go
    pauses: bool = False                  # 200 ms from a reply to the next request
    times_out: bool = False               # the last request: 5000 ms to the exit
    processes: int = 1
    names: Optional[dict] = None          # a name server knowing these, holding lookups till all wait
    modes: Tuple[str, ...] = SOCKETS
    judge: Optional[str] = None           # "crowd": the runner's check for many processes
    calls: Optional[Tuple[str, ...]] = None  # Wine: NIVOR.EXE's platform calls, as patterns, in order
    overrides: Optional[dict] = None      # "wine", "wine/raw", ...: fields that differ there

    def for_program(self, program: str, mode: Optional[str] = None) -> "Scenario":
        """The row as it holds for one program, and for one mode of it."""
        row = self
        for key in (program, "%s/%s" % (program, mode)):
            if self.overrides and key in self.overrides:
                row = dataclasses.replace(row, **self.overrides[key])
        return row


def strays_then_reply(*strays) -> Callable:
    """Every request: the strays 1 ms apart from 1 ms on (TTL 99, so a stray
    taken for the answer shows), then the real reply at 40 ms."""
    plan = [Stream(packet=dataclasses.replace(stray, delay_ms=1 + index), every_ms=len(strays), count=4)
            for index, stray in enumerate(strays)]
    return in_arrival_order([plan + [Reply(delay_ms=40, ttl=42)]])


def stray_row(name: str, *strays, overrides: Optional[dict] = None) -> Scenario:
    return Scenario(name, [b"zentrale"], ZENTRALE + answered(b"127.0.0.2", 40, 40, 40), MEAN,
                    plan=strays_then_reply(*strays), pauses=True, overrides=overrides)


def stray_taken(address: bytes, delay: int) -> dict:
    """Wine's service takes the stray sent `delay` ms after each request."""
    return {"expect": ZENTRALE + answered(address, delay, delay, delay, ttl=99)}


def duplicates(request: Request):
    """The previous request's reply once more while this one waits, the real
    reply at 40 ms, and a copy of it right after."""
    late_copy = [Reply(delay_ms=5, ttl=42, sequence_delta=-1)] if request.index > 0 else []
    return late_copy + [Reply(delay_ms=40, ttl=42), Reply(delay_ms=41, ttl=42)]


OTHER_IDENTIFIER = Reply(ttl=99, identifier_delta=1)
OTHER_SEQUENCE = Reply(ttl=99, sequence_delta=1)
OTHER_SENDER = Reply(ttl=99, source="127.0.0.9")
CUT_SHORT = IcmpError(ttl=99, quote_bytes=26)  # the quote ends before the sequence number
BAD_CHECKSUM = Reply(ttl=99, bad_checksum=True)
UNREACHABLE_FOR_ANOTHER = IcmpError(ttl=99, quote_sequence_delta=1)
EXPIRED_FOR_ANOTHER = IcmpError(ttl=99, icmp_type=11, code=0, quote_sequence_delta=-1)

# What no echo service may take for an answer to the request in flight.
FOREIGN = (OTHER_IDENTIFIER, OTHER_SEQUENCE, CUT_SHORT, UNREACHABLE_FOR_ANOTHER, EXPIRED_FOR_ANOTHER)


def stray_storm():
    """The second request gets no answer, only 6 s of foreign packets, each
    kind every 20 ms: a service that restarted its timeout on every packet
    would wait past the storm."""
    storm = [Stream(packet=dataclasses.replace(stray, delay_ms=2 + index), every_ms=20, count=300)
             for index, stray in enumerate(FOREIGN)]
    return in_arrival_order([[Reply(delay_ms=5, ttl=42)], storm])


# Thirty pingers at once against one host. Every request, in arrival order,
# gets its own delay and a TTL that names it (100 + its index), so each reply
# line tells which request it answers; packets alone cannot tell which
# process sent a request (Wine's echo service shares or changes identifiers).
# The name server holds all thirty lookups until all of them wait, so that
# they start asking together, none still starting up: a burst of start-ups on
# two cores would delay the wake-up of those already waiting.
CROWD = 30
SCHWARM = b"Ping an schwarm.nivor.test[127.0.0.2]\n"


def crowd_delay(index: int) -> int:
    return 2 + (index * 37) % 197


def crowd_plan(request: Request):
    return [Reply(delay_ms=crowd_delay(request.index), ttl=100 + request.index)]


# Wine's echo service reads no ICMP error into a one-record buffer: the
# request times out instead.
WINE_TIMES_OUT = {"expect": ZENTRALE + TIMED_OUT, "times_out": True}

# Wine resolves the empty name as the machine's own.
WINE_OWN_HOST = {"wine": {"expect": RECHNER + answered(b"127.0.0.7", 0, 0, 0, ttl=64), "exit": MEAN,
                          "destination": "127.0.0.7", "requests": 3}}

# NIVOR.EXE's own calls of the platform, as Wine's relay trace shows them:
# what it binds and starts, what each echo request carries (no data, a
# 28-byte reply buffer, 5000 ms), the pauses, and the order of release.
POINTER = r"[0-9a-f]{8}"
BIND_AND_START = (r'KERNEL32\.LoadLibraryA\(%s "ICMP\.DLL"\)' % POINTER,
                  r'KERNEL32\.GetProcAddress\(%s,%s "IcmpCreateFile"\)' % (POINTER, POINTER),
                  r'KERNEL32\.GetProcAddress\(%s,%s "IcmpCloseHandle"\)' % (POINTER, POINTER),
                  r'KERNEL32\.GetProcAddress\(%s,%s "IcmpSendEcho"\)' % (POINTER, POINTER),
                  r"ws2_32\.WSAStartup\(00000101,%s\)" % POINTER)
ECHO = r"iphlpapi\.IcmpSendEcho\(%s,0200007f,00000000,00000000,%s,%s,0000001c,00001388\)" % (POINTER, POINTER, POINTER)
REPLY_LINE = r"ws2_32\.inet_ntoa\(0200007f\)"
PAUSE = r"KERNEL32\.Sleep\(000000c8\)"
CALLS_OF_A_PING = BIND_AND_START + (
    r'ws2_32\.inet_addr\(%s "zentrale"\)' % POINTER, r'ws2_32\.gethostbyname\(%s "zentrale"\)' % POINTER,
    REPLY_LINE, r"iphlpapi\.IcmpCreateFile\(\)", ECHO, REPLY_LINE, PAUSE, ECHO, REPLY_LINE, PAUSE, ECHO, REPLY_LINE,
    r"iphlpapi\.IcmpCloseHandle\(%s\)" % POINTER, r"KERNEL32\.FreeLibrary\(%s\)" % POINTER,
    r"ws2_32\.WSACleanup\(\)")
CALLS_OF_A_FAILED_LOOKUP = BIND_AND_START + (
    r'ws2_32\.inet_addr\(%s "127\.0\.0\.99"\)' % POINTER,
    r"ws2_32\.gethostbyaddr\(%s,00000004,00000002\)" % POINTER,
    r"ws2_32\.WSACleanup\(\)", r"KERNEL32\.FreeLibrary\(%s\)" % POINTER)
WINE_ONLY = ()

SCENARIOS: List[Scenario] = [
    # Resolution: what the banner says, and where the requests go.
    Scenario("official-name", [b"zentrale"], ZENTRALE + answered(b"127.0.0.2", 0, 0, 0, ttl=64), MEAN),
    Scenario("name-in-capitals", [b"ZENTRALE"], ZENTRALE + answered(b"127.0.0.2", 0, 0, 0, ttl=64), MEAN),
    Scenario("dotted-reversed", [b"127.0.0.2"], ZENTRALE + answered(b"127.0.0.2", 0, 0, 0, ttl=64), MEAN),
    Scenario("dotted-unnamed", [b"127.0.0.99"], not_found(b"127.0.0.99"), 255, requests=0),
    Scenario("name-unknown", [b"nirgendwo"], not_found(b"nirgendwo"), 255, requests=0),
    Scenario("two-addresses", [b"doppel"],
             b"Ping an doppel.nivor.test[127.0.0.4]\n" + answered(b"127.0.0.4", 0, 0, 0, ttl=64), MEAN,
             destination="127.0.0.4"),

    # Timing: the round trips, the TTLs, the pauses, the mean.
    Scenario("delays-0-30-120", [b"zentrale"], ZENTRALE + answered(b"127.0.0.2", 0, 30, 120), MEAN,
             plan=replies(0, 30, 120), pauses=True),
    Scenario("second-dropped", [b"zentrale"], ZENTRALE + answered(b"127.0.0.2", 5) + TIMED_OUT, MEAN,
             plan=replies(5, None), requests=2, pauses=True, times_out=True),

    # ICMP errors from a router that quote the request.
    Scenario("host-unreachable", [b"zentrale"],
             ZENTRALE + b"Antwort von 127.0.0.254: Zeit=<7> ms, Time to Live=77 ms\nFehler: IcmpEcho-Status=11003",
             255, plan=in_arrival_order([[IcmpError(delay_ms=7, ttl=77)]]), requests=1,
             overrides={"wine": WINE_TIMES_OUT}),
    Scenario("time-exceeded", [b"127.0.0.2"],
             ZENTRALE + b"Antwort von 127.0.0.254: Zeit=<7> ms, Time to Live=77 ms\nFehler: IcmpEcho-Status=11013",
             255, plan=in_arrival_order([[IcmpError(delay_ms=7, ttl=77, icmp_type=11, code=0)]]), requests=1,
             overrides={"wine": WINE_TIMES_OUT}),
    Scenario("second-time-exceeded", [b"zentrale"],
             ZENTRALE + answered(b"127.0.0.2", 20)
             + b"Antwort von 127.0.0.254: Zeit=<9> ms, Time to Live=77 ms\nFehler: IcmpEcho-Status=11013",
             MEAN, mean_of=1, requests=2, pauses=True,
             plan=in_arrival_order([[Reply(delay_ms=20, ttl=42)],
                                    [IcmpError(delay_ms=9, ttl=77, icmp_type=11, code=0)]]),
             overrides={"wine": {"expect": ZENTRALE + answered(b"127.0.0.2", 20) + TIMED_OUT, "times_out": True}}),

    # Stray and hostile packets before the real reply: it is still found, and
    # its round trip is its own. Wine's service takes a reply from any sender,
    # and on a raw socket one with a bad checksum (datagram sockets never see
    # those: the kernel drops them).
    stray_row("stray-other-identifier", OTHER_IDENTIFIER),
    stray_row("stray-other-sequence", OTHER_SEQUENCE),
    stray_row("stray-other-sender", OTHER_SENDER, overrides={"wine": stray_taken(b"127.0.0.9", 1)}),
    stray_row("stray-cut-short", CUT_SHORT),
    stray_row("stray-bad-checksum", BAD_CHECKSUM, overrides={"wine/raw": stray_taken(b"127.0.0.2", 1)}),
    stray_row("stray-error-for-another-request", UNREACHABLE_FOR_ANOTHER, EXPIRED_FOR_ANOTHER),
    stray_row("stray-all-kinds", OTHER_IDENTIFIER, OTHER_SEQUENCE, OTHER_SENDER, CUT_SHORT, BAD_CHECKSUM,
              UNREACHABLE_FOR_ANOTHER, EXPIRED_FOR_ANOTHER, overrides={"wine": stray_taken(b"127.0.0.9", 3)}),
    Scenario("duplicate-replies", [b"zentrale"], ZENTRALE + answered(b"127.0.0.2", 40, 40, 40), MEAN,
             plan=duplicates, pauses=True),
    Scenario("stray-storm-during-timeout", [b"zentrale"], ZENTRALE + answered(b"127.0.0.2", 5) + TIMED_OUT, MEAN,
             plan=stray_storm(), requests=2, pauses=True, times_out=True),

    # Many pingers at once: each reports its own replies (judged by the runner).
    Scenario("thirty-at-once", [b"schwarm.nivor.test"], b"", MEAN, plan=crowd_plan, requests=3 * CROWD,
             processes=CROWD, names={"schwarm.nivor.test": "127.0.0.2"}, judge="crowd"),

    # No ICMP socket to be had. Wine's service then fails each request and
    # leaves the reply record as it was.
    Scenario("no-icmp-socket", [b"zentrale"], b"Could not load ICMP.DLL\n", 255, requests=0,
             modes=("nobody", "no-net-raw"),
             overrides={"wine": {"modes": ("no-net-raw",), "expect": ZENTRALE + b"Antwort von 0.0.0.0: Zeit=0 ms, "
                                 b"Time to Live=0 ms\nFehler: IcmpEcho-Status=11050"}}),

    # Bad input: the program's own messages, nothing else.
    Scenario("empty-argument", [b""], not_found(b""), 255, requests=0, overrides=WINE_OWN_HOST),
    Scenario("no-argument", [], not_found(b""), 255, requests=0, overrides=WINE_OWN_HOST),
    Scenario("format-directives", [b"%s%n%x%p"], not_found(b"%s%n%x%p"), 255, requests=0),
    # A Windows command line ends at 32767 characters: Wine starts no program
    # with a longer one.
    Scenario("hundred-thousand-bytes", [b"a" * 100000], not_found(b"a" * 100000), 255, requests=0,
             overrides={"wine": {"expect": b"", "exit": 1}}),
    Scenario("thirty-two-thousand-bytes", [b"b" * 32000], not_found(b"b" * 32000), 255, requests=0),
    # Wine turns the command line into text by the locale's (UTF-8) rules and
    # hands it on in code page 1252: what is no UTF-8 becomes "?".
    Scenario("bytes-above-7f", [b"h\xf6st\xfc\x80\xff"], not_found(b"h\xf6st\xfc\x80\xff"), 255, requests=0,
             overrides={"wine": {"expect": not_found(b"h?st???")}}),
    Scenario("utf8-text", ["Höhe".encode()], not_found("Höhe".encode()), 255, requests=0,
             overrides={"wine": {"expect": not_found(b"H\xf6he")}}),
    Scenario("blank-inside", [b"zentrale x"], not_found(b"zentrale x"), 255, requests=0),
    Scenario("quotes-inside", [b'sag "hallo"'], not_found(b'sag "hallo"'), 255, requests=0),
    # Wine quotes "a b\" as "a b\\": NIVOR's own rule reads a backslash before a
    # quote as a literal quote, so the quoted stretch never ends.
    Scenario("trailing-backslash", [b"a b\\"], not_found(b"a b\\"), 255, requests=0,
             overrides={"wine": {"expect": not_found(b'a b\\"')}}),
    Scenario("option-like", [b"-h"], not_found(b"-h"), 255, requests=0),
    Scenario("extra-arguments", [b"zentrale", b"nirgendwo", b"-v", b"%s"],
             ZENTRALE + answered(b"127.0.0.2", 0, 0, 0, ttl=64), MEAN),

    # What NIVOR.EXE asks of the platform, in order (only Wine can show it).
    Scenario("platform-calls-of-a-ping", [b"zentrale"], ZENTRALE + answered(b"127.0.0.2", 0, 0, 0, ttl=64), MEAN,
             modes=WINE_ONLY, overrides={"wine": {"modes": ("raw",), "calls": CALLS_OF_A_PING}}),
    Scenario("platform-calls-of-a-failed-lookup", [b"127.0.0.99"], not_found(b"127.0.0.99"), 255, requests=0,
             modes=WINE_ONLY, overrides={"wine": {"modes": ("raw",), "calls": CALLS_OF_A_FAILED_LOOKUP}}),
]


def scenario_named(name: str) -> Scenario:
    for scenario in SCENARIOS:
        if scenario.name == name:
            return scenario
    raise KeyError(name)
