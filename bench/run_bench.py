#!/usr/bin/env python3
"""NIVOR against iputils ping and fping, side by side on loopback.

    bench/run_bench.py --out DIR [--runs N] [--nivor PATH] [--nivor-exe PATH] [--no-wine]

Prints a table of medians, each with its ratio to both peers and the goal
beside it, and writes into DIR: table.txt (the same table), results.json
(every sample) and accuracy.png (round-trip error against the scripted
delay). The tools take turns run by run, each run in a network namespace the
bench creates, with echoes only to 127.0.0.0/8; the scripted remote host of
the end-to-end tests answers where a delay is wanted. NIVOR.EXE runs under
Wine in the same namespace for a table of its own. Needs root.
"""

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
BENCH = os.path.dirname(os.path.abspath(__file__))
REPOSITORY = os.path.dirname(BENCH)
sys.path.insert(0, os.path.join(REPOSITORY, "tests", "e2e"))
sys.path.insert(0, BENCH)

import report  # noqa: E402
import scripted_host  # noqa: E402
from scripted_host import (Reply, Responder, in_arrival_order, isolate, prepare_namespace,  # noqa: E402
                           wine_server_directory, write_sysctl)

# The scripted host wakes this long before a reply is due and spins the rest:
# after half a second of idling, a virtual machine's cores can take most of a
# millisecond to wake, which would make every late reply later still.
scripted_host.SPIN_NS = 2_000_000

INSIDE_MARK = "NIVOR_BENCH_INSIDE"
WORK = os.path.join(REPOSITORY, "build", "bench")
LAUNCHER = os.path.join(WORK, "launcher")
WINE_PREFIX = os.path.join(WORK, "wine-prefix")

DELAYS_MS = (0, 1, 5, 20, 100, 500)
# A dotted address that /etc/hosts names (localhost), so NIVOR resolves it
# back as it does for every dotted address.
TARGET = "127.0.0.1"
# Lost echoes: the tools wait side by side, each for its own address.
LOST_TARGETS = {"nivor": "127.0.0.2", "ping": "127.0.0.3", "fping": "127.0.0.4"}
LOST_STAGGER_S = 0.3
RUN_DEADLINE_S = 60
TOOL_ENVIRONMENT = {"PATH": "/usr/bin:/bin", "LC_ALL": "C"}


# ------------------------------------------------------------------- tools --

def tool_commands(nivor: str) -> dict:
    """Per tool: the three-echo run, the same with replies up to 500 ms late,
    and one lost echo, as argument lists without the target."""
    ping, fping = shutil.which("ping"), shutil.which("fping")
    return {
        "nivor": {"run": [nivor], "late": [nivor], "lost": [nivor]},
        "ping": {"run": [ping, "-n", "-c", "3", "-i", "0.2"], "late": [ping, "-n", "-c", "3", "-i", "0.2"],
                 "lost": [ping, "-n", "-c", "1", "-W", "5"]},
        # fping drops a reply that comes after its timeout, which in count
        # mode is the period: 200 ms would lose every 500 ms reply.
        "fping": {"run": [fping, "-c", "3", "-p", "200"], "late": [fping, "-c", "3", "-p", "200", "-t", "1000"],
                  "lost": [fping, "-c", "1", "-t", "5000"]},
    }


def tool_versions() -> dict:
    """"iputils ping 20221126", "fping 5.1": the last word of each one's
    version line."""
    versions = {}
    for tool, argument, name in (("ping", "-V", "iputils ping"), ("fping", "-v", "fping")):
        done = subprocess.run([shutil.which(tool), argument], capture_output=True, text=True)
        versions[tool] = name + " " + (done.stdout + done.stderr).strip().splitlines()[0].split()[-1]
    return versions


def take_turns(tools, run: int):
    """The order of one run: each tool leads in turn."""
    shift = run % len(tools)
    return list(tools[shift:]) + list(tools[:shift])


# ---------------------------------------------------------------- launcher --

def build_launcher() -> None:
    source = os.path.join(BENCH, "launcher.c")
    if os.path.exists(LAUNCHER) and os.path.getmtime(LAUNCHER) >= os.path.getmtime(source):
        return
    os.makedirs(WORK, exist_ok=True)
    compiler = shutil.which("cc") or shutil.which("gcc")
    if compiler is None:
        sys.exit("the bench needs a C compiler for its launcher (tools/install-deps.sh bench installs one)")
    flags = ["-O2", "-std=c11", "-Wall", "-Wextra", "-Werror"]
    # Static where the C library allows it: the fewer pages the launcher's
    # child brings to its exec, the less they can count in a peak.
    if subprocess.run([compiler] + flags + ["-static", "-o", LAUNCHER, source]).returncode != 0:
        subprocess.run([compiler] + flags + ["-o", LAUNCHER, source], check=True)


def launch(argv, output: str, terminal: bool = False, stop_after_line: bool = False, environment=None) -> dict:
    """Runs argv through the launcher: its times (ns, CLOCK_MONOTONIC), CPU
    time and peak memory, and what it wrote."""
    command = [LAUNCHER, "--output", output] + (["--pty"] if terminal else []) + \
              (["--stop-after-line"] if stop_after_line else []) + ["--"] + list(argv)
    done = subprocess.run(command, capture_output=True, env=environment or TOOL_ENVIRONMENT, timeout=RUN_DEADLINE_S)
    return launched(done.stdout, done.stderr, output)


def launched(report_text: bytes, errors: bytes, output: str) -> dict:
    if not report_text.startswith(b"exec_ns="):
        raise RuntimeError("the launcher failed: " + errors.decode("utf-8", "replace"))
    sample = {key: int(value) for key, value in (item.split("=") for item in report_text.decode().split())}
    with open(output, "rb") as handle:
        sample["output"] = handle.read()
    return sample


# --------------------------------------------------------------- measuring --

def progress(text: str) -> None:
    print(text, file=sys.stderr, flush=True)


def record(phase: str, tool: str, run: int, sample: dict, **figures) -> dict:
    entry = {"phase": phase, "tool": tool, "run": run, "status": sample["status"], "signal": sample["signal"],
             "output": sample["output"].decode("latin-1")}
    entry.update(figures)
    problem = report.problem_of(entry)
    if problem:
        entry["problem"] = problem
    return entry


def kernel_answers(on: bool) -> None:
    # Per namespace: the kernel answers loopback echoes itself, or leaves
    # them to the scripted host.
    write_sysctl("net.ipv4.icmp_echo_ignore_all", "0" if on else "1")


def measure_start_up(commands, runs: int, scratch: str) -> list:
    """Exec to the first line on a terminal: NIVOR's banner, ping's banner,
    fping's first reply (it writes nothing before)."""
    kernel_answers(True)
    output = os.path.join(scratch, "start-up.out")
    samples = []
    for run in range(runs):
        for tool in take_turns(list(commands), run):
            sample = launch(commands[tool]["run"] + [TARGET], output, terminal=True, stop_after_line=True)
            startup = (sample["first_line_ns"] - sample["exec_ns"]) / 1e6 if sample["first_line_ns"] > 0 else None
            samples.append(record("start-up", tool, run, sample, startup_ms=startup))
    return samples


def measure_three_echoes(commands, runs: int, scratch: str) -> list:
    """The whole run against the kernel's own answers: wall time from exec to
    exit, CPU time and peak memory from wait4, output to a file."""
    kernel_answers(True)
    output = os.path.join(scratch, "three-echoes.out")
    samples = []
    for run in range(runs):
        for tool in take_turns(list(commands), run):
            sample = launch(commands[tool]["run"] + [TARGET], output)
            samples.append(record("three echoes", tool, run, sample,
                                  wall_ms=(sample["exit_ns"] - sample["exec_ns"]) / 1e6,
                                  cpu_ms=(sample["user_us"] + sample["system_us"]) / 1e3,
                                  rss_kb=sample["max_rss_kb"],
                                  readings=report.readings(tool, sample["output"])))
    return samples


def host_round_trips(requests) -> list:
    """What each answered request really took at the host, in ms: from its
    arrival to its reply's, both kernel timestamps on loopback."""
    trips = []
    for request in requests:
        answered = request.answered_ns()
        trips.append((answered - request.time_ns) / 1e6 if answered is not None else None)
    return trips


def delayed_run(tool: str, argv, delay_ms: int, output: str, environment=None) -> dict:
    """One run with the scripted host answering every request delay_ms late."""
    responder = Responder(in_arrival_order([[Reply(delay_ms=delay_ms)]])).start()
    try:
        sample = launch(argv, output, environment=environment)
    finally:
        requests = responder.stop()
    # The echo series on the wire, from the first request to the last reply,
    # and on to the process's exit.
    last_reply = requests[-1].answered_ns() if requests else None
    series = (last_reply - requests[0].time_ns) / 1e6 if last_reply is not None else None
    to_exit = (sample["exit_ns"] - requests[0].time_ns) / 1e6 if requests else None
    return dict(sample=sample, delay_ms=delay_ms, readings=report.readings(tool, sample["output"]),
                host_ms=host_round_trips(requests), requests=len(requests),
                wall_ms=(sample["exit_ns"] - sample["exec_ns"]) / 1e6, series_ms=series, to_exit_ms=to_exit)


def measure_accuracy(commands, runs: int, scratch: str) -> list:
    kernel_answers(False)
    output = os.path.join(scratch, "accuracy.out")
    samples = []
    for delay in DELAYS_MS:
        progress("  replies %d ms late" % delay)
        for run in range(runs):
            for tool in take_turns(list(commands), run):
                result = delayed_run(tool, commands[tool]["late"] + [TARGET], delay, output)
                sample = result.pop("sample")
                samples.append(record("accuracy", tool, run, sample, **result))
    return samples


def measure_lost_echo(commands, runs: int, scratch: str) -> list:
    """One echo nobody answers, the three tools waiting side by side: from
    the request on the wire to the tool's last output (its status line),
    which a terminal receives as it is written. They start apart, so that no
    two give up at the same moment and wait for the same two cores."""
    kernel_answers(False)
    samples = []
    for run in range(runs):
        responder = Responder(in_arrival_order([[]])).start()
        waiting = {}
        try:
            for tool in take_turns(list(commands), run):
                output = os.path.join(scratch, "lost-%s.out" % tool)
                command = [LAUNCHER, "--pty", "--output", output, "--"] + commands[tool]["lost"] + [LOST_TARGETS[tool]]
                if waiting:
                    time.sleep(LOST_STAGGER_S)
                waiting[tool] = (subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                                  env=TOOL_ENVIRONMENT), output)
            finished = {tool: process.communicate(timeout=RUN_DEADLINE_S) + (output,)
                        for tool, (process, output) in waiting.items()}
        finally:
            requests = responder.stop()
        for tool, (report_text, errors, output) in finished.items():
            sample = launched(report_text, errors, output)
            sent = [request.time_ns for request in requests if request.destination == LOST_TARGETS[tool]]
            lost = (sample["last_output_ns"] - sent[0]) / 1e6 if sent and sample["last_output_ns"] > 0 else None
            samples.append(record("lost echo", tool, run, sample, lost_ms=lost, requests=len(sent)))
    return samples


# -------------------------------------------------------------------- wine --

def wine_environment() -> dict:
    environment = dict(TOOL_ENVIRONMENT, WINEPREFIX=WINE_PREFIX, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=",
                       HOME=os.environ.get("HOME", "/root"))
    environment["LC_ALL"] = "C.UTF-8"  # Wine reads the command line by the locale's character set
    return environment


def start_private_wine_server() -> None:
    subprocess.run(["mount", "-t", "tmpfs", "tmpfs", wine_server_directory()], check=True)
    stamp = os.path.join(WINE_PREFIX, ".nivor-bench-ready")
    if not os.path.exists(stamp):
        progress("  filling a Wine prefix for the bench (once): %s" % WINE_PREFIX)
        shutil.rmtree(WINE_PREFIX, ignore_errors=True)
        subprocess.run(["wineboot", "--init"], env=wine_environment(), check=True, timeout=600,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run(["wineserver", "--wait"], env=wine_environment(), timeout=600)
        open(stamp, "w").close()
    # Kept running between the runs: its start-up is Wine's, not NIVOR's.
    subprocess.run(["wineserver", "--persistent"], env=wine_environment(), check=True)
    # The first program started also starts Wine's services (the one that
    # owns the ICMP sockets among them): not a figure either.
    subprocess.run(["wine", "cmd", "/c", "exit"], env=wine_environment(), timeout=300,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def measure_wine(exe: str, runs: int, scratch: str) -> list:
    kernel_answers(False)
    start_private_wine_server()
    program = os.path.join(scratch, "NIVOR.EXE")
    shutil.copy(exe, program)
    argv = [shutil.which("wine"), program, TARGET]
    output = os.path.join(scratch, "wine.out")
    delayed_run("NIVOR.EXE", argv, 0, output, wine_environment())  # warm-up, not counted
    samples = []
    try:
        for delay in DELAYS_MS:
            progress("  NIVOR.EXE, replies %d ms late" % delay)
            for run in range(runs):
                result = delayed_run("NIVOR.EXE", argv, delay, output, wine_environment())
                sample = result.pop("sample")
                samples.append(record("wine", "NIVOR.EXE", run, sample, **result))
    finally:
        subprocess.run(["wineserver", "--kill"], env=wine_environment(), stderr=subprocess.DEVNULL)
    return samples


# ------------------------------------------------------------------ inside --

def run_inside(arguments) -> int:
    scratch = os.environ.pop(INSIDE_MARK)
    prepare_namespace(scratch)
    commands = tool_commands(arguments.nivor)
    machine = report.machine()  # before the bench adds its own load
    started = time.monotonic()
    progress("warming up")
    measure_three_echoes(commands, 1, scratch)
    samples = []
    progress("start-up: exec to the first line, %d runs per tool" % arguments.runs)
    samples += measure_start_up(commands, arguments.runs, scratch)
    loopback_runs = arguments.runs * 3  # cheap, and memory varies with the address layout
    progress("three echoes on loopback: %d runs per tool" % loopback_runs)
    samples += measure_three_echoes(commands, loopback_runs, scratch)
    progress("round-trip accuracy against the scripted host: %d runs per tool and delay" % arguments.runs)
    samples += measure_accuracy(commands, arguments.runs, scratch)
    progress("lost echo: %d runs, the tools side by side, 5 s each" % arguments.runs)
    samples += measure_lost_echo(commands, arguments.runs, scratch)
    if arguments.nivor_exe:
        progress("NIVOR.EXE under Wine: %d runs per delay" % arguments.runs)
        samples += measure_wine(arguments.nivor_exe, arguments.runs, scratch)
    results = {"runs": arguments.runs, "delays_ms": list(DELAYS_MS), "target": TARGET,
               "lost_stagger_s": LOST_STAGGER_S, "machine": machine, "versions": tool_versions(),
               "commands": commands, "nivor": arguments.nivor, "nivor_exe": arguments.nivor_exe,
               "seconds": round(time.monotonic() - started, 1), "samples": samples}
    with open(os.path.join(arguments.out, "results.json"), "w") as handle:
        json.dump(results, handle, indent=1)
    return 0


# ----------------------------------------------------------------- outside --

def require_root() -> None:
    if os.geteuid() != 0:
        sys.exit("The bench needs root: it creates network namespaces, switches the kernel's echo replies off "
                 "there and opens raw sockets. Run it as root, e.g. `sudo make bench OUT=dir`.")


def require_tools(arguments) -> None:
    missing = [tool for tool in ("ping", "fping", "unshare", "ip", "mount") if shutil.which(tool) is None]
    if missing:
        sys.exit("missing: %s (tools/install-deps.sh bench installs them)" % ", ".join(missing))
    if not os.access(arguments.nivor, os.X_OK):
        sys.exit("no program at %s: build it first (make build)" % arguments.nivor)


def wine_program(arguments):
    """NIVOR.EXE's path, or None with the reason printed."""
    if arguments.no_wine:
        return None
    if not os.path.exists(arguments.nivor_exe):
        progress("no %s: the Wine table is left out (make windows builds it)" % arguments.nivor_exe)
        return None
    if shutil.which("wine") is None or shutil.which("wineserver") is None:
        progress("Wine is not installed: the Wine table is left out (tools/install-deps.sh all installs it)")
        return None
    return os.path.abspath(arguments.nivor_exe)


def run_outside(arguments) -> int:
    require_root()
    require_tools(arguments)
    build_launcher()
    exe = wine_program(arguments)
    os.makedirs(arguments.out, exist_ok=True)
    out = os.path.abspath(arguments.out)
    if exe:
        wine_server_directory()
    scratch = tempfile.mkdtemp(prefix="nivor-bench-")
    inner = [sys.executable, os.path.abspath(__file__), "--inside", "--out", out, "--runs", str(arguments.runs),
             "--nivor", os.path.abspath(arguments.nivor)] + (["--nivor-exe", exe] if exe else ["--no-wine"])
    try:
        status = subprocess.run(isolate(inner), env=dict(os.environ, **{INSIDE_MARK: scratch})).returncode
    finally:
        os.rmdir(scratch)  # its contents lived in the namespace only
    if status != 0:
        sys.exit("the bench failed (status %d)" % status)
    with open(os.path.join(out, "results.json")) as handle:
        results = json.load(handle)
    table = report.render(results)
    print(table)
    with open(os.path.join(out, "table.txt"), "w") as handle:
        handle.write(table)
    plot = os.path.join(out, "accuracy.png")
    draw_plot(os.path.join(out, "results.json"), plot)
    print("\nfigures: %s\nplot:    %s" % (os.path.join(out, "results.json"), plot))
    return 0


def draw_plot(results: str, png: str) -> None:
    """With matplotlib where this interpreter has it, else with the system's
    Python, which Debian's python3-matplotlib serves."""
    script = os.path.join(BENCH, "plot.py")
    try:
        import matplotlib  # noqa: F401
        interpreter = sys.executable
    except ImportError:
        interpreter = "/usr/bin/python3"
    subprocess.run([interpreter, script, results, png], check=True)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--out", required=True, help="folder for table.txt, results.json and accuracy.png")
    parser.add_argument("--runs", type=int, default=10, help="runs per tool and figure (at least 10 for medians "
                        "worth quoting; the three-echo runs take three times as many)")
    parser.add_argument("--nivor", default=os.path.join(REPOSITORY, "build", "release", "nivor"))
    parser.add_argument("--nivor-exe", default=os.path.join(REPOSITORY, "build", "windows", "NIVOR.EXE"))
    parser.add_argument("--no-wine", action="store_true", help="leave out NIVOR.EXE under Wine")
    parser.add_argument("--inside", action="store_true", help=argparse.SUPPRESS)
    arguments = parser.parse_args()
    if arguments.runs < 1:
        parser.error("--runs must be at least 1")
    if arguments.inside:
        if arguments.no_wine:
            arguments.nivor_exe = None
        return run_inside(arguments)
    return run_outside(arguments)


if __name__ == "__main__":
    sys.exit(main())
