#!/usr/bin/env python3
"""Draws the round-trip error against the scripted delay from a bench's
results.json: the median of every tool at every delay, its range as a bar.

    plot.py results.json accuracy.png
"""

import json
import os
import sys

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import matplotlib  # noqa: E402

matplotlib.use("Agg")
import matplotlib.pyplot as pyplot  # noqa: E402

import report  # noqa: E402

# (phase, tool, label, colour, marker); NIVOR.EXE only where Wine ran.
SERIES = (
    ("accuracy", "nivor", "nivor", "#c0392b", "o"),
    ("accuracy", "ping", "ping (iputils)", "#2471a3", "s"),
    ("accuracy", "fping", "fping", "#229954", "^"),
    ("wine", "NIVOR.EXE", "NIVOR.EXE under Wine", "#7d3c98", "D"),
)


def draw(results: dict, png: str) -> None:
    figure, (left, right) = pyplot.subplots(1, 2, figsize=(11, 4.6), dpi=90, sharex=True)
    panel(left, results, report.errors, "read - scripted delay (ms)", (0.0, 1.0),
          "against the scripted delay; NIVOR's goal [0, 1) shaded")
    panel(right, results, report.errors_against_host, "read - host's real round trip (ms)", (-1.0, 0.0),
          "against the host's kernel timestamps; whole ms truncated: (-1, 0]")
    handles, labels = left.get_legend_handles_labels()
    figure.legend(handles, labels, loc="lower center", ncol=len(labels), fontsize=8, frameon=False)
    figure.suptitle("Round trips on loopback against the scripted host: median and range of %d runs x 3 echoes"
                    % results["runs"], fontsize=10)
    figure.tight_layout(rect=(0, 0.07, 1, 1))
    figure.savefig(png)


def panel(axes, results: dict, error_of, label_y: str, band, title: str) -> None:
    samples, delays = results["samples"], results["delays_ms"]
    axes.axhspan(band[0], band[1], color="#f5d5d0", alpha=0.6)
    axes.axhline(0.0, color="#555555", linewidth=0.8)
    drawn = [series for series in SERIES if report.counted(samples, series[0], series[1])]
    for index, (phase, tool, label, colour, marker) in enumerate(drawn):
        # Side by side around each delay, so that equal values stay apart.
        offset = (index - (len(drawn) - 1) / 2) * 0.09
        xs, medians, below, above = [], [], [], []
        for position, delay in enumerate(delays):
            numbers = error_of(samples, phase, tool, delay)
            if not numbers:
                continue
            middle = report.median(numbers)
            xs.append(position + offset)
            medians.append(middle)
            below.append(middle - min(numbers))
            above.append(max(numbers) - middle)
        axes.errorbar(xs, medians, yerr=[below, above], fmt=marker, color=colour, label=label, capsize=3,
                      markersize=5, linewidth=1.2)
    axes.set_xticks(range(len(delays)))
    axes.set_xticklabels(["%d" % delay for delay in delays])
    axes.set_xlabel("scripted reply delay (ms)")
    axes.set_ylabel(label_y)
    axes.set_title(title, fontsize=9)
    axes.grid(axis="y", color="#dddddd", linewidth=0.6)


def main() -> int:
    if len(sys.argv) != 3:
        sys.exit("usage: plot.py results.json accuracy.png")
    with open(sys.argv[1]) as handle:
        results = json.load(handle)
    draw(results, sys.argv[2])
    return 0


if __name__ == "__main__":
    sys.exit(main())
