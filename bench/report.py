"""What the bench's samples say: readings taken from the tools' output, the
medians, their ratios to the peers and the goals beside them."""

import os
import platform
import re
import statistics
import subprocess
import textwrap

PEERS = ("ping", "fping")
TOOLS = ("nivor",) + PEERS
FLOOR_MS = 400.0                    # the two pauses of 200 ms
WALL_LIMIT_MS = FLOOR_MS * 1.005    # within 0.5 % of the floor
CPU_LIMIT_MS = 2.0
LOST_RANGE_MS = (5000.0, 5005.0)

# One match per answered echo, holding the round trip in milliseconds.
READINGS = {
    "nivor": re.compile(rb"Antwort von 127\.0\.0\.1: Zeit=(\d+) ms"),
    "NIVOR.EXE": re.compile(rb"Antwort von 127\.0\.0\.1: Zeit=(\d+) ms"),
    "ping": re.compile(rb"icmp_seq=\d+ ttl=\d+ time=([0-9.]+) ms"),
    "fping": re.compile(rb": \[\d+\], \d+ bytes, ([0-9.]+) ms"),
}
# What each tool writes when its one echo is lost.
LOST_MARKS = {
    "nivor": re.compile(rb"Antwort von 0\.0\.0\.0: Zeit=0 ms, Time to Live=0 ms\r?\nFehler: IcmpEcho-Status=11010$"),
    "ping": re.compile(rb"1 packets transmitted, 0 received, 100% packet loss"),
    "fping": re.compile(rb": \[0\], timed out"),
}


def readings(tool: str, output: bytes) -> list:
    return [float(value) for value in READINGS[tool].findall(output)]


def problem_of(entry: dict):
    """Why a sample cannot count, or None."""
    phase, tool = entry["phase"], entry["tool"]
    if entry["signal"] and phase != "start-up":
        return "killed by signal %d" % entry["signal"]
    if phase == "start-up":
        return None if entry["startup_ms"] is not None else "no line came"
    if phase == "three echoes":
        if entry["status"] != 0 or len(entry["readings"]) != 3:
            return "exit status %d with %d replies, expected 0 and 3" % (entry["status"], len(entry["readings"]))
        return None
    if phase in ("accuracy", "wine"):
        if entry["requests"] != 3 or len(entry["readings"]) != 3 or None in entry["host_ms"]:
            return "%d requests, %d replies read" % (entry["requests"], len(entry["readings"]))
        return None
    if phase == "lost echo":
        if entry["requests"] != 1 or entry["lost_ms"] is None:
            return "%d requests seen, no status line" % entry["requests"]
        if not LOST_MARKS[tool].search(entry["output"].encode("latin-1")):
            return "the output does not report the loss"
        return None
    return "unknown phase " + phase


def machine() -> dict:
    model = ""
    try:
        lscpu = subprocess.run(["lscpu"], capture_output=True, text=True).stdout
        model = next((line.split(":", 1)[1].strip() for line in lscpu.splitlines()
                      if line.startswith("Model name:")), "")
    except OSError:
        pass
    distribution = ""
    if os.path.exists("/etc/debian_version"):
        with open("/etc/debian_version") as handle:
            distribution = "Debian " + handle.read().strip()
    wine = subprocess.run(["wine", "--version"], capture_output=True, text=True).stdout.strip() \
        if _has("wine") else ""
    return {"cpu": model, "cores": os.cpu_count(), "kernel": platform.release(), "system": distribution,
            "load": [round(value, 2) for value in os.getloadavg()], "wine": wine}


def _has(program: str) -> bool:
    return any(os.access(os.path.join(directory, program), os.X_OK)
               for directory in os.environ.get("PATH", "").split(os.pathsep))


# ----------------------------------------------------------------- figures --

def counted(samples, phase: str, tool: str, delay=None):
    return [sample for sample in samples if sample["phase"] == phase and sample["tool"] == tool
            and "problem" not in sample and (delay is None or sample.get("delay_ms") == delay)]


def values(samples, phase: str, tool: str, key: str, delay=None):
    return [sample[key] for sample in counted(samples, phase, tool, delay) if sample.get(key) is not None]


def errors(samples, phase: str, tool: str, delay: int):
    """Every reading minus the scripted delay."""
    return [reading - delay for sample in counted(samples, phase, tool, delay) for reading in sample["readings"]]


def errors_against_host(samples, phase: str, tool: str, delay: int):
    """Every reading minus the round trip the host really saw for it."""
    return [reading - trip for sample in counted(samples, phase, tool, delay)
            for reading, trip in zip(sample["readings"], sample["host_ms"])]


def errors_on_time(samples, phase: str, tool: str, delay: int):
    """The readings minus the scripted delay where the host kept to the delay
    (answered less than 1 ms late), and how many it did not keep to: the
    scripted delay is the truth only where the host kept to it."""
    kept, late = [], 0
    for sample in counted(samples, phase, tool, delay):
        for reading, trip in zip(sample["readings"], sample["host_ms"]):
            if trip - delay < 1.0:
                kept.append(reading - delay)
            else:
                late += 1
    return kept, late


def delay_verdict(samples, phase: str, tool: str, delay: int) -> str:
    kept, late = errors_on_time(samples, phase, tool, delay)
    text = verdict(all_within(kept, 0.0, 1.0, high_open=True))
    return text + (" (%d late left out)" % late if late else "")


def host_lags(samples, phase: str, tool: str, delay: int):
    """How much later than scripted the host's replies really came back."""
    return [trip - delay for sample in counted(samples, phase, tool, delay) for trip in sample["host_ms"]]


def median(numbers):
    return statistics.median(numbers) if numbers else None


def ratio(ours, theirs):
    if ours is None or theirs is None or theirs == 0:
        return None
    return ours / theirs


def all_within(numbers, low, high, high_open=False):
    if not numbers:
        return None
    return all(low <= number and (number < high if high_open else number <= high) for number in numbers)


# ------------------------------------------------------------------ tables --

def shown(value, digits=2) -> str:
    if value is None:
        return "-"
    return "%.*f" % (digits, value)


def note(text: str) -> str:
    return textwrap.fill(text, 110)


def verdict(met) -> str:
    return {True: "met", False: "MISSED", None: "-"}[met]


def spread(numbers, digits=2) -> str:
    if not numbers:
        return "-"
    return "%s [%s, %s]" % (shown(median(numbers), digits), shown(min(numbers), digits), shown(max(numbers), digits))


def table(header, rows) -> str:
    widths = [max(len(str(row[column])) for row in [header] + rows) for column in range(len(header))]
    lines = []
    for index, row in enumerate([header] + rows):
        lines.append("  ".join(str(cell).ljust(width) if column == 0 else str(cell).rjust(width)
                               for column, (cell, width) in enumerate(zip(row, widths))).rstrip())
        if index == 0:
            lines.append("  ".join("-" * width for width in widths))
    return "\n".join(lines)


def figure_row(name, figures, goal, met, digits=2):
    """figures: tool -> median; the ratios are NIVOR's over each peer's."""
    ours = figures.get("nivor")
    return [name] + [shown(figures.get(tool), digits) for tool in TOOLS] + \
           [shown(ratio(ours, figures.get(peer)), 2) for peer in PEERS] + [goal, verdict(met)]


def main_rows(samples):
    rows = []
    wall = {tool: median(values(samples, "three echoes", tool, "wall_ms")) for tool in TOOLS}
    wall_met = None if None in wall.values() else wall["nivor"] <= wall["fping"] and wall["nivor"] <= WALL_LIMIT_MS
    rows.append(figure_row("wall time, three echoes, exec to exit (ms)", wall,
                           "<= fping's, <= %.1f" % WALL_LIMIT_MS, wall_met))
    cpu = {tool: median(values(samples, "three echoes", tool, "cpu_ms")) for tool in TOOLS}
    rows.append(figure_row("CPU time, user + system (ms)", cpu, "< %.0f" % CPU_LIMIT_MS,
                           None if cpu["nivor"] is None else cpu["nivor"] < CPU_LIMIT_MS, 3))
    rss = {tool: median(values(samples, "three echoes", tool, "rss_kb")) for tool in TOOLS}
    rows.append(figure_row("peak resident memory (KB)", rss, "< fping's",
                           None if None in (rss["nivor"], rss["fping"]) else rss["nivor"] < rss["fping"], 0))
    startup = {tool: median(values(samples, "start-up", tool, "startup_ms")) for tool in TOOLS}
    rows.append(figure_row("start-up, exec to first line (ms)", startup, "", None, 3))
    lost = {tool: median(values(samples, "lost echo", tool, "lost_ms")) for tool in TOOLS}
    rows.append(figure_row("lost echo, send to status line (ms)", lost, "%.0f to %.0f" % LOST_RANGE_MS,
                           all_within(values(samples, "lost echo", "nivor", "lost_ms"), *LOST_RANGE_MS), 1))
    return rows


def accuracy_rows(samples, delays, phase="accuracy", tools=TOOLS):
    rows = []
    for delay in delays:
        by_tool = {tool: errors(samples, phase, tool, delay) for tool in tools}
        lags = host_lags(samples, phase, tools[0], delay)
        medians = {tool: median([abs(error) for error in numbers]) for tool, numbers in by_tool.items()}
        rows.append(["%d ms" % delay, shown(median(lags), 3)] + [spread(by_tool[tool], 3) for tool in tools] +
                    [shown(ratio(medians[tools[0]], medians.get(peer)), 2) for peer in PEERS if peer in tools] +
                    ["[0, 1)", delay_verdict(samples, phase, tools[0], delay)])
    return rows


def truth_rows(samples, delays):
    rows = []
    for delay in delays:
        by_tool = {tool: errors_against_host(samples, "accuracy", tool, delay) for tool in TOOLS}
        medians = {tool: median([abs(error) for error in numbers]) for tool, numbers in by_tool.items()}
        truncated = all_within(by_tool["nivor"], -1.0, 0.0) if by_tool["nivor"] else None
        rows.append(["%d ms" % delay] + [spread(by_tool[tool], 3) for tool in TOOLS] +
                    [shown(ratio(medians["nivor"], medians[peer]), 2) for peer in PEERS] +
                    ["(-1, 0]", verdict(truncated)])
    return rows


def wine_rows(samples, delays):
    rows = []
    for key, name in (("series_ms", "echo series, first request to last reply (ms)"),
                      ("to_exit_ms", "first request to exit (ms)")):
        series = {"NIVOR.EXE": median(values(samples, "wine", "NIVOR.EXE", key, 0))}
        series.update({tool: median(values(samples, "accuracy", tool, key, 0)) for tool in TOOLS})
        ours = series["NIVOR.EXE"]
        met = None if None in (ours, series["fping"]) else ours <= series["fping"] and ours <= WALL_LIMIT_MS
        rows.append([name] + [shown(series[tool]) for tool in ("NIVOR.EXE",) + TOOLS] +
                    [shown(ratio(ours, series[peer])) for peer in PEERS] +
                    ["<= fping's, <= %.1f" % WALL_LIMIT_MS, verdict(met)])
    whole = median(values(samples, "wine", "NIVOR.EXE", "wall_ms", 0))
    rows.append(["whole run with Wine's start-up (ms)", shown(whole), "", "", "", "", "", "Wine's", "-"])
    for delay in delays:
        by_tool = {"NIVOR.EXE": errors(samples, "wine", "NIVOR.EXE", delay)}
        by_tool.update({tool: errors(samples, "accuracy", tool, delay) for tool in TOOLS})
        absolute = {tool: median([abs(error) for error in numbers]) for tool, numbers in by_tool.items()}
        rows.append(["round-trip error at %d ms (ms)" % delay] +
                    [spread(by_tool[tool], 3) for tool in ("NIVOR.EXE",) + TOOLS] +
                    [shown(ratio(absolute["NIVOR.EXE"], absolute[peer])) for peer in PEERS] +
                    ["[0, 1)", delay_verdict(samples, "wine", "NIVOR.EXE", delay)])
    return rows


def render(results: dict) -> str:
    samples, runs, delays = results["samples"], results["runs"], results["delays_ms"]
    machine_info = results["machine"]
    versions = results["versions"]
    parts = [
        "NIVOR against %s and %s on loopback, in network namespaces of the bench" % (versions["ping"],
                                                                                      versions["fping"]),
        "%s, %d cores, Linux %s, %s; load %s at the start; %.0f s" % (
            machine_info["cpu"], machine_info["cores"], machine_info["kernel"], machine_info["system"],
            " ".join("%.2f" % load for load in machine_info["load"]), results["seconds"]),
        "",
        "Medians: %d runs per tool for the three-echo figures, %d for the others; the tools take turns." % (
            runs * 3, runs),
        table(["figure", "nivor", "ping", "fping", "nivor/ping", "nivor/fping", "goal", ""], main_rows(samples)),
        note("Three echoes: `nivor %s`, `ping -n -c 3 -i 0.2`, `fping -c 3 -p 200`, the kernel answering; the floor is "
        "the %.0f ms of pauses. Start-up: to NIVOR's and ping's banner, to fping's first reply (it writes nothing "
        "before). Lost echo: the tools wait side by side, started %.1f s apart, each for its own address." % (
            results["target"], FLOOR_MS, results.get("lost_stagger_s", 0.0))),
        "",
        note("Round trip read minus the scripted delay (ms): median [min, max] of 3 echoes x %d runs; the host "
             "column is how much later than scripted its replies really came (kernel timestamps). The verdict "
             "leaves out echoes the host answered 1 ms or more late: for them the delay is not the truth (the "
             "next table holds every echo)." % runs),
        table(["delay", "host", "nivor", "ping", "fping", "nivor/ping", "nivor/fping", "goal", ""],
              accuracy_rows(samples, delays)),
        "",
        note("The same readings minus the round trip the host really saw (its kernel timestamps of request and "
             "reply on loopback). NIVOR reads whole ms with the fraction dropped: its reading is the trip truncated "
             "when this lies in (-1, 0]."),
        table(["delay", "nivor", "ping", "fping", "nivor/ping", "nivor/fping", "nivor", ""],
              truth_rows(samples, delays)),
    ]
    if any(sample["phase"] == "wine" for sample in samples):
        parts += [
            "",
            note("NIVOR.EXE under %s, %d runs per row; nivor, ping and fping as above, from the same scripted host "
                 "(the series at a delay of 0 ms, on the host's kernel timestamps). Ratios: NIVOR.EXE over each "
                 "peer." % (machine_info["wine"] or "Wine", runs)),
            table(["figure", "NIVOR.EXE", "nivor", "ping", "fping", "EXE/ping", "EXE/fping", "goal", ""],
                  wine_rows(samples, delays)),
        ]
    problems = [sample for sample in samples if "problem" in sample]
    if problems:
        parts += ["", "%d runs did not count:" % len(problems)]
        parts += ["  %s %s run %d%s: %s" % (sample["phase"], sample["tool"], sample["run"],
                                            " (%d ms)" % sample["delay_ms"] if "delay_ms" in sample else "",
                                            sample["problem"]) for sample in problems[:20]]
    return "\n".join(parts) + "\n"
