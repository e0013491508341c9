#!/usr/bin/env python3
"""Runs the end-to-end table against one program: the Linux `nivor`, or
NIVOR.EXE under Wine.

    run_e2e.py --program native --binary build/release/nivor [--scenario NAME ...]
    run_e2e.py --program wine --binary build/windows/NIVOR.EXE --wine-prefix DIR [...]
    run_e2e.py --program native|wine --list

Every scenario runs once per mode, each run in namespaces of its own (network,
mount, UTS, PID: whatever it starts ends with it) with the scripted host
serving. Needs root; without it the run is skipped (exit 77), except under
CI=true, where it fails.
"""

import argparse
import fcntl
import json
import os
import re
import select
import shutil
import subprocess
import sys
import tempfile
import time
from typing import List, Optional, Sequence

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import scenarios  # noqa: E402
from scripted_host import NameServer, Responder, Request, isolate, prepare_namespace, wine_server_directory  # noqa: E402

SKIPPED = 77
LATE_ONLY = 3  # a run whose only faults are figures over their slack
NOBODY = "65534"
ECHO_TIMEOUT_MS = 5000
PAUSE_MS = 200

# How far a measured figure may lie above the truth; never below it. A
# round trip may read 1 ms above the time the host's packet really took, and
# 1 ms more under Wine, whose echo service is another process
# (winedevice.exe), busy starting up at the first request.
ROUND_TRIP_SLACK_MS = {"native": 1, "wine": 2}
PAUSE_SLACK_MS = {"native": 5, "wine": 10}
# The time from the unanswered request to the process's exit.
TIMEOUT_SLACK_MS = {"native": 50, "wine": 100}
# What Wine's relay trace shows of NIVOR.EXE, in rows that check its calls.
TRACED_FUNCTIONS = ("KERNEL32.LoadLibraryA", "KERNEL32.GetProcAddress", "KERNEL32.FreeLibrary", "KERNEL32.Sleep",
                    "ws2_32.*", "IcmpCreateFile", "IcmpSendEcho", "IcmpCloseHandle")
# Per run: far beyond the slowest scenario, so a hang fails instead of blocking.
RUN_DEADLINE_S = {"native": 30, "wine": 120}


# ------------------------------------------------------------------ outside --

def require_root() -> None:
    if os.geteuid() == 0:
        return
    if os.environ.get("CI") == "true":
        sys.exit("the end-to-end tests need root (network namespaces, raw sockets), and CI must run them")
    print("SKIP: the end-to-end tests need root to create network namespaces and raw sockets")
    sys.exit(SKIPPED)


def require_tools(program: str) -> None:
    needed = ["unshare", "ip", "mount", "setpriv"] + (["wine", "wineserver"] if program == "wine" else [])
    missing = [tool for tool in needed if shutil.which(tool) is None]
    if missing:
        sys.exit("missing tools for the end-to-end tests: " + ", ".join(missing))


def wine_environment(prefix: str) -> dict:
    environment = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
    environment.pop("DISPLAY", None)
    return environment


def prepare_wine_prefix(prefix: str) -> None:
    """Fills a Wine prefix once; every run then works on a copy-on-write view of
    it. Done in a namespace of its own, so that its wineserver is private."""
    stamp = os.path.join(prefix, ".nivor-e2e-ready")
    os.makedirs(os.path.dirname(os.path.abspath(prefix)), exist_ok=True)
    with open(prefix.rstrip("/") + ".lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if os.path.exists(stamp):
            return
        shutil.rmtree(prefix, ignore_errors=True)
        script = 'set -e; mount -t tmpfs tmpfs "$1"; wineboot --init; wineserver --wait'
        subprocess.run(isolate(["sh", "-c", script, "sh", wine_server_directory()]),
                       env=wine_environment(prefix), check=True, timeout=600,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        open(stamp, "w").close()


def modes_of(scenario, program: str):
    return scenario.for_program(program).modes


def run_outside(arguments) -> int:
    require_root()
    require_tools(arguments.program)
    if arguments.program == "wine":
        prepare_wine_prefix(arguments.wine_prefix)
        wine_server_directory()
    chosen = [scenarios.scenario_named(name) for name in arguments.scenario] or scenarios.SCENARIOS
    passed, failed, figures = 0, 0, []
    started = time.monotonic()
    for scenario in chosen:
        for mode in modes_of(scenario, arguments.program):
            ok, run_figures = run_isolated(arguments, scenario.name, mode)
            passed, failed = passed + ok, failed + (not ok)
            figures.extend(run_figures)
    print_figures(figures, time.monotonic() - started)
    print("e2e %s: %d passed, %d failed" % (arguments.program, passed, failed))
    return 0 if failed == 0 else 1


def run_isolated(arguments, name: str, mode: str):
    """Runs one scenario in one mode; once more if it only ran late. Returns
    whether it passed, and its figures (of every attempt)."""
    figures = []
    for attempt in (1, 2):
        status, output, seconds = run_once(arguments, name, mode)
        for line in output.splitlines():
            if line.startswith("FIGURES "):
                figures += json.loads(line[len("FIGURES "):])
            else:
                print("    " + line)
        verdict = "ok  " if status == 0 else "late" if status == LATE_ONLY and attempt == 1 else "FAIL"
        print("%s %s [%s] %.1f s%s" % (verdict, name, mode, seconds, ", once more" if verdict == "late" else ""),
              flush=True)
        if verdict != "late":
            return status == 0, figures
    return False, figures


def run_once(arguments, name: str, mode: str):
    scratch = tempfile.mkdtemp(prefix="nivor-e2e-")
    command = isolate([sys.executable, os.path.abspath(__file__), "--inside", "--program", arguments.program,
                       "--binary", os.path.abspath(arguments.binary), "--scenario", name, "--mode", mode,
                       "--scratch", scratch]
                      + (["--log-dir", os.path.abspath(arguments.log_dir)] if arguments.log_dir else [])
                      + (["--wine-prefix", os.path.abspath(arguments.wine_prefix)] if arguments.wine_prefix else []))
    started = time.monotonic()
    try:
        finished = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                  timeout=RUN_DEADLINE_S[arguments.program] + 60)
        output, status = finished.stdout.decode("utf-8", "replace"), finished.returncode
    except subprocess.TimeoutExpired as expired:
        output, status = (expired.stdout or b"").decode("utf-8", "replace") + "\nthe run did not end\n", 1
    finally:
        os.rmdir(scratch)  # its contents lived in the namespace only
    return status, output, time.monotonic() - started


def print_figures(figures: List[dict], seconds: float) -> None:
    trips = [figure for figure in figures if figure["kind"] == "round trip"]
    if trips:
        errors = [figure["value"] - figure["truth"] for figure in trips]
        counts = {error: errors.count(error) for error in sorted(set(errors))}
        lags = [figure["host"] - figure["truth"] for figure in trips]
        real = [figure["value"] - figure["host"] for figure in trips]
        print("round trips: %d measured; read minus scripted delay (ms) -> count: %s; the host's packets came %.2f "
              "to %.2f ms after the delay; read minus their real time: %.2f to %.2f ms"
              % (len(trips), counts, min(lags), max(lags), min(real), max(real)))
    for kind in ("pause", "timeout"):
        values = [figure["value"] - figure["truth"] for figure in figures if figure["kind"] == kind]
        if values:
            print("%s: %d measured, %.2f to %.2f ms over %d ms" % (kind, len(values), min(values), max(values),
                                                                 PAUSE_MS if kind == "pause" else ECHO_TIMEOUT_MS))
    print("suite time: %.1f s" % seconds)


# ------------------------------------------------------------------- inside --

class Run:
    def __init__(self, status: int, stdout: bytes, stderr: bytes, exited_ns: int):
        self.status, self.stdout, self.stderr, self.exited_ns = status, stdout, stderr, exited_ns


def mode_command(mode: str) -> List[str]:
    if mode == "nobody":
        return ["setpriv", "--reuid=" + NOBODY, "--regid=" + NOBODY, "--clear-groups", "--"]
    if mode in ("datagram", "no-net-raw"):
        return ["setpriv", "--bounding-set=-net_raw", "--inh-caps=-net_raw", "--"]
    return []


def mount_wine_prefix(lower: str, scratch: str) -> str:
    """A private, copy-on-write view of the prepared prefix."""
    parts = {name: os.path.join(scratch, "wine-" + name) for name in ("upper", "work", "prefix")}
    for path in parts.values():
        os.mkdir(path)
    subprocess.run(["mount", "-t", "overlay", "overlay", "-o",
                    "lowerdir=%s,upperdir=%s,workdir=%s" % (lower, parts["upper"], parts["work"]),
                    parts["prefix"]], check=True)
    return parts["prefix"]


def program_command(program: str, binary: str, mode: str) -> List[bytes]:
    return [os.fsencode(part) for part in mode_command(mode) + (["wine", binary] if program == "wine" else [binary])]


def start_processes(scenario, command: List[bytes], environment: dict):
    started = []
    for _ in range(scenario.processes):
        stdout = tempfile.TemporaryFile()
        stderr = tempfile.TemporaryFile()
        process = subprocess.Popen(command + list(scenario.arguments), stdin=subprocess.DEVNULL, stdout=stdout,
                                   stderr=stderr, env=environment)
        started.append((process, stdout, stderr))
    return started


def wait_for(started, deadline_s: float) -> List[Run]:
    """Waits for every process, noting when each ended; kills what is still
    running at the deadline."""
    deadline = time.monotonic() + deadline_s
    pending = {os.pidfd_open(process.pid): process for process, _, _ in started}
    exited_ns = {}
    while pending:
        ready, _, _ = select.select(list(pending), [], [], max(0.0, deadline - time.monotonic()))
        if not ready:
            break
        for descriptor in ready:
            exited_ns[pending.pop(descriptor).pid] = time.monotonic_ns()
            os.close(descriptor)
    for descriptor, process in pending.items():
        process.kill()
        os.close(descriptor)
    runs = []
    for process, stdout, stderr in started:
        process.wait()
        status = process.returncode if process.pid in exited_ns else None
        stdout.seek(0)
        stderr.seek(0)
        runs.append(Run(status, stdout.read(), stderr.read(), exited_ns.get(process.pid, time.monotonic_ns())))
    return runs


def write_run_log(arguments, runs: List[Run], requests: List[Request]) -> None:
    """What the host saw and what each process wrote, for a look after a failure."""
    os.makedirs(arguments.log_dir, exist_ok=True)
    stem = os.path.join(arguments.log_dir, "%s-%s-%s" % (arguments.program, arguments.scenario[0], arguments.mode))
    with open(stem + ".json", "w") as handle:
        json.dump({"requests": [request.as_json() for request in requests],
                   "runs": [{"status": run.status, "stdout": run.stdout.decode("latin-1"),
                             "stderr": run.stderr.decode("latin-1"), "exited_ns": run.exited_ns} for run in runs]},
                  handle, indent=1)


def trace_calls(scenario, environment: dict) -> None:
    """Has Wine log NIVOR.EXE's calls of the listed functions (its relay
    trace) on standard error; the setting lives in the run's own prefix."""
    subprocess.run(["wine", "reg", "add", r"HKCU\Software\Wine\Debug", "/v", "RelayInclude", "/d",
                    ";".join(TRACED_FUNCTIONS), "/f"], env=environment, check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=120)
    environment["WINEDEBUG"] = "-all,+pid,+relay"


def run_inside(arguments) -> int:
    program, mode = arguments.program, arguments.mode
    scenario = scenarios.scenario_named(arguments.scenario[0]).for_program(program, mode)
    scratch = arguments.scratch
    prepare_namespace(scratch, datagram_sockets=mode == "datagram")
    binary = os.path.join(scratch, os.path.basename(arguments.binary))
    shutil.copy(arguments.binary, binary)  # where nobody may run it
    os.chmod(binary, 0o755)
    environment = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "LC_ALL": "C"}
    if program == "wine":
        subprocess.run(["mount", "-t", "tmpfs", "tmpfs", wine_server_directory()], check=True)
        environment = wine_environment(mount_wine_prefix(arguments.wine_prefix, scratch))
        # Wine reads the command line by the locale's character set.
        environment["LC_ALL"] = "C.UTF-8"
        if scenario.calls is not None:
            trace_calls(scenario, environment)
    command = program_command(program, binary, mode)
    # The responder forks: before any thread is started.
    responder = Responder(scenario.plan).start()
    name_server = NameServer(scenario.names, hold=scenario.processes).start() if scenario.names else None
    try:
        runs = wait_for(start_processes(scenario, command, environment), RUN_DEADLINE_S[program])
    finally:
        requests = responder.stop()
        if name_server is not None:
            name_server.stop()
    findings = judge(scenario, program, runs, requests)
    if name_server is not None and name_server.released_count < scenario.processes:
        findings.fail("only %d of the %d processes reached their lookup in time: they did not ask at once"
                      % (name_server.released_count, scenario.processes))
    if arguments.log_dir:
        write_run_log(arguments, runs, requests)
    for message in findings.failed + findings.late:
        print(message)
    print("FIGURES " + json.dumps(findings.figures))
    return 1 if findings.failed else LATE_ONLY if findings.late else 0


# -------------------------------------------------------------------- judge --

TOKEN = re.compile(rb"<(\d+)>")


class Findings:
    """What a run got wrong, and what it measured. `late` holds figures that
    overran their slack and nothing else: a busy machine can delay a wake-up,
    so such a run is tried once more; everything in `failed` is final."""

    def __init__(self):
        self.failed: List[str] = []
        self.late: List[str] = []
        self.figures: List[dict] = []

    def fail(self, message: str) -> None:
        self.failed.append(message)

    def overran(self, message: str) -> None:
        self.late.append(message)


def output_pattern(template: bytes) -> "re.Pattern":
    pieces = TOKEN.split(template)
    pattern = b"".join(re.escape(piece) if index % 2 == 0 else rb"(\d+)" for index, piece in enumerate(pieces))
    return re.compile(pattern, re.DOTALL)


def shown(data: bytes) -> str:
    text = repr(data)
    return text if len(text) <= 400 else text[:180] + " ... " + text[-180:] + " (%d bytes)" % len(data)


def expected_output(scenario, program: str) -> bytes:
    return scenario.expect.replace(b"\n", b"\r\n") if program == "wine" else scenario.expect


def expected_exit(scenario, measured: List[int]) -> int:
    if scenario.exit != scenarios.MEAN:
        return scenario.exit & 0xFF
    counted = measured[:scenario.mean_of] if scenario.mean_of is not None else measured
    return (sum(counted) // len(counted)) & 0xFF


def packet_taken(request: Request, delay_ms: int) -> Optional[int]:
    """When the packet the host sent `delay_ms` after the request reached the
    sockets; for no such packet, its first answer (None without one)."""
    for sent in request.sent:
        if abs(sent["delay_ms"] - delay_ms) < 0.5:
            return sent.get("delivered_ns", sent["time_ns"])
    return request.answered_ns()


def judge_round_trips(truths, values, requests, slack_ms: int, findings: Findings) -> List[Optional[int]]:
    """A round trip may not read below the time the host's packet really
    took, nor more than the slack above it, and most must read that time
    exactly: whole ms, the fraction dropped. Returns when each request's
    packet was taken in (None where unknown)."""
    taken, exact, judged = [], 0, 0
    for index, (truth, value) in enumerate(zip(truths, values)):
        request = requests[index] if index < len(requests) else None
        taken_ns = packet_taken(request, truth) if request is not None else None
        taken.append(taken_ns)
        lag = (taken_ns - request.time_ns) / 1e6 if taken_ns is not None else None
        lowest = int(lag) if lag is not None else truth
        findings.figures.append({"kind": "round trip", "truth": truth, "value": value,
                                 "host": lag if lag is not None else truth})
        there = "%.2f" % lag if lag is not None else "?"
        if value < lowest or lowest < truth:
            findings.fail("round trip of a %d ms reply (there after %s ms) read %d ms: below the truth"
                          % (truth, there, value))
        elif value > lowest + slack_ms:
            findings.overran("round trip of a %d ms reply (there after %s ms) read %d ms (allowed %d to %d)"
                             % (truth, there, value, lowest, lowest + slack_ms))
        # A packet there just past a whole ms is read as that ms, bar delays.
        if lag is not None and lag - lowest < 0.5:
            judged += 1
            exact += value == lowest
    if judged >= 2 and exact * 2 < judged:
        findings.overran("only %d of %d round trips read the whole ms their packet took: does the measure round up?"
                         % (exact, judged))
    return taken


def judge_process(scenario, program: str, run: Run, requests: List[Request], findings: Findings):
    """The output, byte for byte, and the exit status of one process; when
    it took in each reply (see judge_round_trips)."""
    if run.status is None:
        findings.fail("did not end within %d s" % RUN_DEADLINE_S[program])
        return []
    if run.status < 0:
        findings.fail("killed by signal %d" % -run.status)
    if scenario.calls is not None:
        judge_calls(scenario.calls, run.stderr, findings)
    elif run.stderr:
        findings.fail("wrote to standard error: " + shown(run.stderr))
    template = expected_output(scenario, program)
    match = output_pattern(template).fullmatch(run.stdout)
    if match is None:
        findings.fail("output differs\n  expected " + shown(template) + "\n  actual   " + shown(run.stdout))
        return []
    truths = [int(value) for value in TOKEN.findall(template)]
    values = [int(value) for value in match.groups()]
    taken = judge_round_trips(truths, values, requests, ROUND_TRIP_SLACK_MS[program], findings)
    wanted = expected_exit(scenario, values)
    if run.status != wanted:
        findings.fail("exit status %s, expected %d" % (run.status, wanted))
    return taken


RELAY_CALL = re.compile(r"^(\w+):\w+:Call (\S+\(.*\)) ret=(\w+)$")
# Where the linker puts NIVOR.EXE: calls returning into it are its own.
IMAGE_BASE = 0x400000
IMAGE_END = 0x1000000


def own_calls(stderr: bytes) -> List[str]:
    """The calls NIVOR.EXE's own code made, in order, from Wine's relay trace:
    of the process that loaded ICMP.DLL, those returning into the program."""
    lines = [RELAY_CALL.match(line) for line in stderr.decode("latin-1").splitlines()]
    calls = [match for match in lines if match is not None]
    processes = {match.group(1) for match in calls if '"ICMP.DLL"' in match.group(2)}
    return [match.group(2) for match in calls
            if match.group(1) in processes and IMAGE_BASE <= int(match.group(3), 16) < IMAGE_END
            and not match.group(2).startswith("KERNEL32.GetProcAddress(7bc00000")]


def judge_calls(expected: Sequence[str], stderr: bytes, findings: Findings) -> None:
    calls = own_calls(stderr)
    for index, pattern in enumerate(expected):
        if index >= len(calls) or not re.fullmatch(pattern, calls[index]):
            findings.fail("platform call %d was %s, expected %s; the calls:\n    %s"
                          % (index, calls[index] if index < len(calls) else "missing", pattern,
                             "\n    ".join(calls)))
            return
    if len(calls) > len(expected):
        findings.fail("more platform calls than expected, from %s on" % calls[len(expected)])


def judge_pauses(scenario, program: str, requests: List[Request], taken: List[Optional[int]], findings: Findings):
    """From the packet taken as each reply to the next request: the pause,
    and no more. Only for one process, whose requests follow each other."""
    if not scenario.pauses or scenario.processes != 1:
        return
    for earlier, later, answered_at in zip(requests, requests[1:], taken):
        if answered_at is None:
            continue
        pause = (later.time_ns - answered_at) / 1e6
        findings.figures.append({"kind": "pause", "truth": PAUSE_MS, "value": pause})
        if pause < PAUSE_MS:
            findings.fail("request %d came %.2f ms after the reply to the one before: less than %d"
                          % (later.index, pause, PAUSE_MS))
        elif pause > PAUSE_MS + PAUSE_SLACK_MS[program]:
            findings.overran("request %d came %.2f ms after the reply to the one before (expected %d to %d)"
                             % (later.index, pause, PAUSE_MS, PAUSE_MS + PAUSE_SLACK_MS[program]))


def judge_requests(scenario, program: str, requests: List[Request], runs: List[Run], taken: List[Optional[int]],
                   findings: Findings) -> None:
    """What went over the wire: count, destination, TTL, size, pauses, timeouts."""
    if len(requests) != scenario.requests:
        findings.fail("the host saw %d echo requests, expected %d" % (len(requests), scenario.requests))
    for request in requests:
        carried = (request.destination, request.ttl, request.size, request.checksum_ok)
        if carried != (scenario.destination, 255, 8, True):
            findings.fail("request %d went to %s with TTL %d, %d ICMP bytes, checksum %s; expected %s, TTL 255, "
                          "8 bytes (no payload), a valid checksum" % ((request.index,) + carried
                                                                       + (scenario.destination,)))
    lost = sum(1 for request in requests for sent in request.sent if "delivered_ns" not in sent)
    if lost:
        findings.fail("%d packets of the host never came through loopback: the kernel dropped them, so the row "
                      "tests nothing with them" % lost)
    judge_pauses(scenario, program, requests, taken, findings)
    if scenario.times_out and requests and len(runs) == 1:
        waited = (runs[0].exited_ns - requests[-1].time_ns) / 1e6
        findings.figures.append({"kind": "timeout", "truth": ECHO_TIMEOUT_MS, "value": waited})
        # The request left a little before the host saw it, hence the 1 ms below.
        if waited < ECHO_TIMEOUT_MS - 1:
            findings.fail("the unanswered request was given up %.2f ms after it arrived: less than %d"
                          % (waited, ECHO_TIMEOUT_MS - 1))
        elif waited > ECHO_TIMEOUT_MS + TIMEOUT_SLACK_MS[program]:
            findings.overran("the unanswered request was given up %.2f ms after it arrived (expected %d to %d)"
                             % (waited, ECHO_TIMEOUT_MS - 1, ECHO_TIMEOUT_MS + TIMEOUT_SLACK_MS[program]))


CROWD_LINE = re.compile(rb"Antwort von 127\.0\.0\.2: Zeit=(\d+) ms, Time to Live=(\d+) ms\n")


def judge_crowd(scenario, program: str, runs: List[Run], requests: List[Request], findings: Findings) -> None:
    """Each process must show three replies, each naming by its TTL (100 +
    index) a request of the host's, in the order they arrived, with that
    request's delay; and no reply may show up in two processes."""
    newline = b"\r\n" if program == "wine" else b"\n"
    claimed = []
    for number, run in enumerate(runs):
        prefix = "process %d: " % number
        if run.status is None or run.status < 0 or run.stderr:
            findings.fail(prefix + "status %s, standard error %s" % (run.status, shown(run.stderr)))
        text = run.stdout.replace(newline, b"\n")
        lines = CROWD_LINE.findall(text[len(scenarios.SCHWARM):])
        rebuilt = scenarios.SCHWARM + b"".join(b"Antwort von 127.0.0.2: Zeit=%s ms, Time to Live=%s ms\n" % line
                                                for line in lines)
        indexes = [int(ttl) - 100 for _, ttl in lines]
        if len(lines) != 3 or rebuilt != text:
            findings.fail(prefix + "output " + shown(run.stdout))
        elif indexes != sorted(indexes) or not all(0 <= index < len(requests) for index in indexes):
            findings.fail(prefix + "replies to requests %s: not three of the host's, in the order they came"
                          % indexes)
        else:
            claimed += indexes
            values = [int(value) for value, _ in lines]
            truths = [scenarios.crowd_delay(index) for index in indexes]
            judge_round_trips(truths, values, [requests[index] for index in indexes], ROUND_TRIP_SLACK_MS[program],
                              findings)
            if run.status != (sum(values) // 3) & 0xFF:
                findings.fail(prefix + "exit status %s for round trips %s" % (run.status, values))
    taken_twice = sorted({index for index in claimed if claimed.count(index) > 1})
    if taken_twice:
        findings.fail("the replies to requests %s were taken by more than one process" % taken_twice)


def judge(scenario, program: str, runs: List[Run], requests: List[Request]) -> Findings:
    findings = Findings()
    taken: List[Optional[int]] = []
    if scenario.judge == "crowd":
        judge_crowd(scenario, program, runs, requests, findings)
    else:
        for run in runs:
            taken = judge_process(scenario, program, run, requests, findings)
    judge_requests(scenario, program, requests, runs, taken, findings)
    return findings


# -------------------------------------------------------------------- main --

def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--program", choices=("native", "wine"), default="native")
    parser.add_argument("--binary", help="nivor, or NIVOR.EXE for --program wine")
    parser.add_argument("--wine-prefix", help="a Wine prefix to fill once and reuse (wine only)")
    parser.add_argument("--scenario", action="append", default=[], help="run only these (repeatable)")
    parser.add_argument("--list", action="store_true", help="print the names of the program's scenarios and stop")
    parser.add_argument("--log-dir", help="keep each run's requests and output here, as JSON")
    parser.add_argument("--prepare-wine-prefix", action="store_true", help="only fill --wine-prefix")
    parser.add_argument("--inside", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--mode", help=argparse.SUPPRESS)
    parser.add_argument("--scratch", help=argparse.SUPPRESS)
    arguments = parser.parse_args()
    if arguments.list:
        print(";".join(scenario.name for scenario in scenarios.SCENARIOS if modes_of(scenario, arguments.program)))
        return 0
    if arguments.program == "wine" and not arguments.wine_prefix:
        parser.error("--program wine needs --wine-prefix")
    if arguments.prepare_wine_prefix:
        require_root()
        require_tools("wine")
        prepare_wine_prefix(arguments.wine_prefix)
        return 0
    if not arguments.binary:
        parser.error("--binary is required")
    if arguments.inside:
        return run_inside(arguments)
    return run_outside(arguments)


if __name__ == "__main__":
    sys.exit(main())
